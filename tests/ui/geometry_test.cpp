#include "ui/progress_fill.h"
#include "ui/window_fit.h"

#include <gtest/gtest.h>
#include <optional>

namespace installer::ui {
namespace {

TEST(ProgressFill, ShowsAnyProgressAsAtLeastASliver) {
    const struct {
        double fraction;
        std::optional<Frame> fill;
    } rows[] = {
        {0, std::nullopt},
        {-0.5, std::nullopt},
        {0.001, Frame{0, 0, 5, 5}},
        {0.5, Frame{0, 0, 128, 5}},
        {1, Frame{0, 0, 256, 5}},
        // The card clamps; the bar draws what it is given.
        {1.5, Frame{0, 0, 384, 5}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(progressFill(256, 5, row.fraction), row.fill) << row.fraction;
}

TEST(WindowFit, KeepsTheTopEdgeAndLeavesAFittingWindowAlone) {
    const struct {
        const char* why;
        Frame window;
        double contentHeight;
        std::optional<Frame> fitted;
    } rows[] = {
        {"same phase again", {1500, 800, 360, 132}, 132, std::nullopt},
        {"grows downwards for a failure", {1500, 800, 360, 132}, 157, Frame{1500, 775, 360, 157}},
        {"shrinks back after a failure", {1500, 775, 360, 157}, 132, Frame{1500, 800, 360, 132}},
        {"a longer failure grows further", {1500, 775, 360, 157}, 194, Frame{1500, 738, 360, 194}},
        {"same failure height again", {1500, 738, 360, 194}, 194, std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(fittedWindowFrame(row.window, row.contentHeight), row.fitted) << row.why;
}

} // namespace
} // namespace installer::ui
