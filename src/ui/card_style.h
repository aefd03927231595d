#pragma once

#include <string_view>

namespace installer::ui {

// Colour components 0 ... 1. The card's colours are calibrated values; a calibrated
// white is the grey with that value in every channel.
struct Rgba {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
};

constexpr Rgba calibratedWhite(double white, double alpha) {
    return {white, white, white, alpha};
}

enum class FontWeight { regular, medium, semibold };

// A system font. Monospaced digits keep the download amounts from jittering as they
// count up.
struct FontStyle {
    double pointSize = 0;
    FontWeight weight = FontWeight::regular;
    bool monospacedDigits = false;
};

// How the card, its subviews, the progress bar and the window look. The views read
// these; nothing here changes at run time.
namespace style {

inline constexpr double cardWidth = 360;
inline constexpr double cardHeight = 132;
inline constexpr Rgba cardBackground{0.975, 0.976, 0.983, 1};
inline constexpr double cardCornerRadius = 18;
inline constexpr double cardBorderWidth = 0.5;
inline constexpr Rgba cardBorder = calibratedWhite(0.82, 0.5);

inline constexpr FontStyle headingFont{12, FontWeight::semibold};
inline constexpr Rgba headingColour = calibratedWhite(0.08, 1);

inline constexpr FontStyle statusFont{12, FontWeight::medium};
inline constexpr Rgba statusColour{0.14, 0.15, 0.22, 1};

inline constexpr FontStyle detailFont{11.5, FontWeight::regular, true};
inline constexpr Rgba detailColour{0.48, 0.49, 0.55, 1};
// A long failure message is cut here; its full text stays in the tooltip.
inline constexpr int detailMaximumLines = 4;

inline constexpr FontStyle actionFont{11.5, FontWeight::regular};
inline constexpr Rgba closeTint = calibratedWhite(0.55, 1);

inline constexpr Rgba progressTrack{0.9, 0.9, 0.92, 1};
inline constexpr Rgba progressFill{0.64, 0.65, 0.68, 1};
inline constexpr double progressCornerRadius = 3;

} // namespace style

// The fixed texts the views and the menu set once, at creation. The texts that follow
// the phase come from the card model.
namespace text {

inline constexpr std::string_view heading = "安装AI澄翎网盘";
inline constexpr std::string_view iconAccessibilityLabel = "AI澄翎网盘";
// Both the close button's accessibility description and its tooltip.
inline constexpr std::string_view closeInstaller = "关闭安装器";
inline constexpr std::string_view progressAccessibilityLabel = "安装文件下载进度";
// The installer's own name: the title of its menu and of the window of its question.
inline constexpr std::string_view installerName = "AI澄翎网盘安装器";
inline constexpr std::string_view quitInstaller = "退出AI澄翎网盘安装器";

} // namespace text

} // namespace installer::ui
