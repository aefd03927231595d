#pragma once

namespace installer::ui {

// A rectangle in the card's own coordinates: origin at the bottom-left, y upwards,
// as the card's layout is defined.
struct Frame {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const Frame&) const = default;
};

// The same rectangle in a container of the given height whose origin is at the
// top-left and whose y grows downwards, as Qt places widgets.
constexpr Frame topLeftFrame(Frame frame, double containerHeight) {
    return {frame.x, containerHeight - frame.y - frame.height, frame.width, frame.height};
}

} // namespace installer::ui
