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

} // namespace installer::ui
