#pragma once

#include "ui/frame.h"

#include <optional>

namespace installer::ui {

// The window's new frame for a card of the given content height, in screen
// coordinates with y upwards: the window is always as wide as the card and grows or
// shrinks downwards with its top edge kept. Nothing when its height already fits, so
// showing the same phase again never moves it. The window is borderless, so its
// frame and its content are the same rectangle.
std::optional<Frame> fittedWindowFrame(Frame window, double contentHeight);

// Where a window of the given size opens so that it sits beside `anchor` without
// covering it: left of it with the tops aligned, else right of it, else below it, else
// above it, whichever first lies wholly inside `area`; when none does, the first one
// pushed into `area`. Screen coordinates with y downwards.
Frame placeBeside(Frame anchor, double width, double height, Frame area);

} // namespace installer::ui
