#include "ui/window_fit.h"

#include "ui/card_style.h"

namespace installer::ui {

std::optional<Frame> fittedWindowFrame(Frame window, double contentHeight) {
    if (window.height == contentHeight)
        return std::nullopt;
    const double top = window.y + window.height;
    return Frame{window.x, top - contentHeight, style::cardWidth, contentHeight};
}

} // namespace installer::ui
