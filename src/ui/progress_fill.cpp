#include "ui/progress_fill.h"

#include <algorithm>

namespace installer::ui {

namespace {

constexpr double minimumFill = 5;

} // namespace

std::optional<Frame> progressFill(double width, double height, double fraction) {
    if (!(fraction > 0))
        return std::nullopt;
    return Frame{0, 0, std::max(width * fraction, minimumFill), height};
}

} // namespace installer::ui
