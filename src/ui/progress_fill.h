#pragma once

#include "ui/frame.h"

#include <optional>

namespace installer::ui {

// The filled part of a progress bar of the given size, from its origin, or nothing
// when the fraction is not above zero. Any progress at all shows at least a
// 5-point sliver. The fraction is not clamped here; the card clamps before storing.
std::optional<Frame> progressFill(double width, double height, double fraction);

} // namespace installer::ui
