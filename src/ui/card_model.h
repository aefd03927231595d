#pragma once

#include "ui/frame.h"
#include "ui/installer_phase.h"

#include <functional>
#include <string>
#include <string_view>

namespace installer::ui {

// The height a text takes when drawn with the detail font and wrapped to the given
// width. The window layer measures with the real font; the model only does arithmetic
// with the answer, so it needs no window system.
using TextMeasure = std::function<double(std::string_view text, double width)>;

// The measuring box is this high; a measurer that needs a bounded box should use it.
inline constexpr double messageMeasureBoxHeight = 1000;

// Where each subview sits, in the card's bottom-left coordinates.
struct CardFrames {
    Frame heading;
    Frame close;
    Frame icon;
    Frame status;
    Frame progress;
    Frame detail;
    Frame action;
};

// Everything the card shows. The defaults are the values the card is created with,
// before it first shows a phase.
struct CardModel {
    // The phase shown last; the delegate reads it to decide what the action button does.
    InstallerPhase phase = Ready{};
    std::string status = "准备安装";
    std::string detail = "获取当前稳定版本";
    // Empty means no tooltip.
    std::string detailToolTip;
    // The progress bar's fraction, always within 0 ... 1.
    double fraction = 0;
    bool progressVisible = true;
    std::string actionTitle = "安装";
    bool actionVisible = true;
    bool actionEnabled = true;
    bool closeEnabled = true;
    // True exactly while a failure message is shown.
    bool expanded = false;
    // Height reserved for a failure message; only laid out while expanded.
    double messageHeight = 20;
    // The window's content height that fits this card.
    double contentHeight = 132;
    // Laid out for the card's width and contentHeight.
    CardFrames frames;
};

// Whether an installing status tells that the new application's start is being
// confirmed, which the card shows with its own texts.
bool confirmsStart(std::string_view status);

// The card after it shows the phase. Each phase sets every visible value, so what
// the user sees never depends on the previous card; only values hidden in this
// phase (the bar behind a failure, the title of a hidden button) carry over from it.
// The measure is called only for a failure message.
CardModel show(const CardModel& current, const InstallerPhase& phase, double width,
               const TextMeasure& measure);

// The card as created: the defaults above, then showing ready.
CardModel createCard(double width);

// The subview frames for a card of the given size. The view calls this whenever it
// is resized; show already uses it for the fitted height.
CardFrames layout(const CardModel& card, double width, double height);

// The progress bar announces its value to accessibility as a percentage.
constexpr double progressAccessibilityValue(double fraction) {
    return fraction * 100;
}

} // namespace installer::ui
