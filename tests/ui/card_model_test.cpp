#include "ui/card_model.h"
#include "ui/progress_fill.h"
#include "ui/window_fit.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace installer::ui {
namespace {

constexpr double width = 360;

// Characters 11.5 points wide, lines 15.5 high: a message's wrapped height is known.
double fakeMeasure(std::string_view text, double wrapWidth) {
    const double perLine = std::max(1.0, std::floor(wrapWidth / 11.5));
    return std::ceil(static_cast<double>(text.size()) / perLine) * 15.5;
}

enum Kind { usual, installing, failure };

// A visible button leaves a one-line detail less room; a failure message takes the bar's place.
std::vector<Frame> framesFor(double height, Kind kind) {
    const Frame detail = kind == failure ? Frame{84, 52, 256, height - 124}
                                         : Frame{84, 29, kind == installing ? 256.0 : 188.0, 17};
    return {{17, height - 33, 280, 18},
            {326, height - 32, 17, 17},
            {14, height - 104, 62, 62},
            {84, height - 61, 256, 18},
            {84, height - 77, 256, 5},
            detail,
            {280, kind == failure ? 15.0 : 24.0, 62, 25}};
}

TEST(CardPhase, ShowsEachPhaseWhateverCameBefore) {
    // Each leaves something behind that the next phase must put right, a stop its button.
    CardModel stopped =
        show(show(createCard(width), Downloading{750'000, 3'000'000}, width, fakeMeasure),
             Failed{"网络连接已中断"}, width, fakeMeasure);
    stopped.actionEnabled = false;
    const std::pair<const char*, CardModel> previousCards[] = {
        {"failed, then stopped", stopped},
        {"installing", show(createCard(width), Installing{"正在安装…"}, width, fakeMeasure)},
    };
    // 22 characters fit a line right of the icon; the tooltip keeps any message whole.
    const std::string twoLines(25, 'x'), manyLines(2000, 'x');
    const struct {
        InstallerPhase phase;
        const char* status;
        std::string detail;
        // Absent where the phase hides the bar or button and leaves it as it was.
        std::optional<double> fraction;
        std::optional<std::string> actionTitle;
        double height = 132;
    } rows[] = {
        {Ready{}, "准备安装AI澄翎网盘", "获取当前稳定版本", 0, "安装"},
        {Checking{}, "正在检查安装版本…", "正在连接下载服务", 0, "取消"},
        // Decimal megabytes, one decimal unless whole, no grouping, clamped to the bar.
        {Downloading{1'500'000, 3'000'000}, "正在下载安装文件…", "1.5 MB / 3 MB", 0.5, "取消"},
        {Downloading{5'000'000, 3'000'000}, "正在下载安装文件…", "3 MB / 3 MB", 1, "取消"},
        {Downloading{100, -1}, "正在下载安装文件…", "0 MB / 0 MB", 0, "取消"},
        {Downloading{999'999, 12'000'000'000}, "正在下载安装文件…", "1.0 MB / 12000 MB",
         999'999 / 12'000'000'000.0, "取消"},
        {Downloading{INT64_MIN, INT64_MAX}, "正在下载安装文件…", "0 MB / 9223372036854.8 MB", 0,
         "取消"},
        {Verifying{}, "正在校验安装文件…", "校验完成后继续安装", 1, "取消"},
        {Installing{"安装完成，正在确认启动…"}, "正在启动AI澄翎网盘…", "安装完成，正在确认启动", 1,
         std::nullopt},
        {Installing{"确认 启动"}, "正在安装AI澄翎网盘…", "请稍候，即将安装完成", 1, std::nullopt},
        {Complete{}, "AI澄翎网盘安装完成", "可以开始使用了", 1, "关闭"},
        // The message's height, at least 20 and at most 70, is reserved above the button.
        {Failed{"安装包校验失败"}, "安装未完成", "安装包校验失败", std::nullopt, "重试", 144},
        {Failed{twoLines}, "安装未完成", twoLines, std::nullopt, "重试", 157},
        {Failed{manyLines}, "安装未完成", manyLines, std::nullopt, "重试", 194},
        {Cancelled{}, "下载已取消", "可重新开始安装", 0, "重试"},
    };
    for (const auto& [previousName, previous] : previousCards) {
        for (const auto& row : rows) {
            SCOPED_TRACE(row.detail.substr(0, 40) + " after " + previousName);
            const CardModel card = show(previous, row.phase, width, fakeMeasure);
            const Kind kind = std::holds_alternative<Installing>(row.phase) ? installing
                              : std::holds_alternative<Failed>(row.phase)   ? failure
                                                                            : usual;
            const bool failed = kind == failure;
            EXPECT_EQ(std::tuple(card.phase.index(), card.status, card.detail, card.detailToolTip,
                                 card.progressVisible, card.actionTitle, card.actionVisible,
                                 card.actionEnabled, card.closeEnabled, card.expanded),
                      std::tuple(row.phase.index(), row.status, row.detail,
                                 failed ? row.detail : "", !failed,
                                 row.actionTitle.value_or(previous.actionTitle), kind != installing,
                                 true, kind != installing, failed));
            EXPECT_DOUBLE_EQ(card.fraction, row.fraction.value_or(previous.fraction));
            const CardFrames& f = card.frames;
            EXPECT_EQ(
                (std::vector{f.heading, f.close, f.icon, f.status, f.progress, f.detail, f.action}),
                framesFor(row.height, kind));
        }
    }
}

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
