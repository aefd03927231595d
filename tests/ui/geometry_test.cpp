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
        {0, std::nullopt},          {-0.5, std::nullopt},     {0.001, Frame{0, 0, 5, 5}},
        {0.5, Frame{0, 0, 128, 5}}, {1, Frame{0, 0, 256, 5}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(progressFill(256, 5, row.fraction), row.fill) << row.fraction;
}

TEST(PlaceBeside, PutsAQuestionNextToTheCardNeverOverIt) {
    const Frame screen{0, 0, 1280, 800};
    const struct {
        const char* why;
        Frame card;
        Frame placed;
    } rows[] = {
        {"left of the card in the top-right corner", {880, 40, 360, 132}, {464, 40, 400, 150}},
        {"right of a card at the left edge", {20, 40, 360, 132}, {396, 40, 400, 150}},
        {"below a card too wide for either side", {100, 40, 1000, 132}, {700, 188, 400, 150}},
        {"above a card at the bottom", {100, 600, 1000, 190}, {700, 434, 400, 150}},
        {"pushed onto the screen when nothing fits", {0, 0, 1280, 800}, {0, 0, 400, 150}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(placeBeside(row.card, 400, 150, screen), row.placed) << row.why;
}

} // namespace
} // namespace installer::ui
