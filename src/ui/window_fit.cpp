#include "ui/window_fit.h"

#include "ui/card_style.h"

#include <algorithm>

namespace installer::ui {

std::optional<Frame> fittedWindowFrame(Frame window, double contentHeight) {
    if (window.height == contentHeight)
        return std::nullopt;
    const double top = window.y + window.height;
    return Frame{window.x, top - contentHeight, style::cardWidth, contentHeight};
}

Frame placeBeside(Frame anchor, double width, double height, Frame area) {
    // Room for the window system's frame and shadow between the two.
    constexpr double gap = 16;
    const double right = anchor.x + anchor.width;
    const Frame candidates[] = {
        {anchor.x - gap - width, anchor.y, width, height},
        {right + gap, anchor.y, width, height},
        {right - width, anchor.y + anchor.height + gap, width, height},
        {right - width, anchor.y - gap - height, width, height},
    };
    const auto inside = [&](const Frame& frame) {
        return frame.x >= area.x && frame.y >= area.y &&
               frame.x + frame.width <= area.x + area.width &&
               frame.y + frame.height <= area.y + area.height;
    };
    for (const Frame& candidate : candidates) {
        if (inside(candidate))
            return candidate;
    }
    Frame pushed = candidates[0];
    pushed.x = std::clamp(pushed.x, area.x, std::max(area.x, area.x + area.width - width));
    pushed.y = std::clamp(pushed.y, area.y, std::max(area.y, area.y + area.height - height));
    return pushed;
}

} // namespace installer::ui
