#include "ui/card_model.h"

#include <cmath>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace installer::ui {
namespace {

// A detail font in which every character has the same width and every line the same
// height, so a message's wrapped height is known in advance. It notes the widths it
// was asked to wrap to.
struct FakeMeasure {
    double lineHeight = 15.5;
    std::vector<double>* widths = nullptr;

    double operator()(std::string_view text, double width) const {
        if (widths)
            widths->push_back(width);
        const double perLine = std::max(1.0, std::floor(width / 11.5));
        return std::ceil(static_cast<double>(text.size()) / perLine) * lineHeight;
    }
};

constexpr double width = 360;

CardModel after(std::initializer_list<InstallerPhase> phases) {
    CardModel card = createCard(width);
    for (const auto& phase : phases)
        card = show(card, phase, width, FakeMeasure{});
    return card;
}

void expectFrames(const CardFrames& seen, const CardFrames& expected) {
    for (const auto frame :
         {&CardFrames::heading, &CardFrames::close, &CardFrames::icon, &CardFrames::status,
          &CardFrames::progress, &CardFrames::detail, &CardFrames::action}) {
        EXPECT_EQ(seen.*frame, expected.*frame)
            << "at " << (seen.*frame).x << ", " << (seen.*frame).y << " sized "
            << (seen.*frame).width;
    }
}

TEST(CardPhase, ShowsEachPhaseWhateverCameBefore) {
    CardModel stopped = after({Checking{}, Downloading{1'500'000, 3'000'000}});
    stopped.actionEnabled = false; // as the delegate's stop leaves it
    // Each leaves something behind that the next phase must put right.
    const std::pair<const char*, CardModel> previousCards[] = {
        {"created", createCard(width)},
        {"stopped download", stopped},
        {"installing", after({Verifying{}, Installing{"正在安装…"}})},
        {"failed", after({Downloading{750'000, 3'000'000}, Failed{"网络连接已中断"}})},
    };
    enum Kind { usual, installing, failure };
    const struct {
        InstallerPhase phase;
        const char* status;
        const char* detail;
        // Absent where the phase hides the bar and leaves its value as it was.
        std::optional<double> fraction;
        // Absent where the phase hides the button and leaves its title as it was.
        std::optional<const char*> actionTitle;
        Kind kind;
    } rows[] = {
        {Ready{}, "准备安装AI澄翎网盘", "获取当前稳定版本", 0, "安装", usual},
        {Checking{}, "正在检查安装版本…", "正在连接下载服务", 0, "取消", usual},
        {Downloading{1'500'000, 3'000'000}, "正在下载安装文件…", "1.5 MB / 3 MB", 0.5, "取消",
         usual},
        {Verifying{}, "正在校验安装文件…", "校验完成后继续安装", 1, "取消", usual},
        {Installing{"安装完成，正在确认启动…"}, "正在启动AI澄翎网盘…", "安装完成，正在确认启动", 1,
         std::nullopt, installing},
        {Installing{"正在安装…"}, "正在安装AI澄翎网盘…", "请稍候，即将安装完成", 1, std::nullopt,
         installing},
        {Installing{"确认 启动"}, "正在安装AI澄翎网盘…", "请稍候，即将安装完成", 1, std::nullopt,
         installing},
        {Complete{}, "AI澄翎网盘安装完成", "可以开始使用了", 1, "关闭", usual},
        {Failed{"安装包校验失败"}, "安装未完成", "安装包校验失败", std::nullopt, "重试", failure},
        {Cancelled{}, "下载已取消", "可重新开始安装", 0, "重试", usual},
    };
    // The layout of a card 132 high; a visible button leaves the detail less room.
    const CardFrames standard{{17, 99, 280, 18}, {326, 100, 17, 17}, {14, 28, 62, 62},
                              {84, 71, 256, 18}, {84, 55, 256, 5},   {84, 29, 188, 17},
                              {280, 24, 62, 25}};
    for (const auto& [previousName, previous] : previousCards) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.status) + " / " + row.detail + " after " + previousName);
            const CardModel card = show(previous, row.phase, width, FakeMeasure{});
            EXPECT_EQ(card.phase.index(), row.phase.index());
            EXPECT_EQ(card.status, row.status);
            EXPECT_EQ(card.detail, row.detail);
            EXPECT_EQ(card.detailToolTip, row.kind == failure ? row.detail : "");
            EXPECT_EQ(card.progressVisible, row.kind != failure);
            EXPECT_EQ(card.fraction, row.fraction.value_or(previous.fraction));
            EXPECT_EQ(card.actionTitle, row.actionTitle.value_or(previous.actionTitle.c_str()));
            EXPECT_EQ(card.actionVisible, row.kind != installing);
            EXPECT_TRUE(card.actionEnabled);
            EXPECT_EQ(card.closeEnabled, row.kind != installing);
            EXPECT_EQ(card.expanded, row.kind == failure);
            if (row.kind != failure) {
                EXPECT_EQ(card.contentHeight, 132);
                CardFrames expected = standard;
                expected.detail.width = row.kind == installing ? 256 : 188;
                expectFrames(card.frames, expected);
            }
        }
    }
}

TEST(CardDownload, ShowsClampedAmountsAndBar) {
    const struct {
        std::int64_t written;
        std::int64_t total;
        const char* detail;
        double fraction;
    } rows[] = {
        {0, 262'144'000, "0 MB / 262.1 MB", 0},
        {5'000'000, 3'000'000, "3 MB / 3 MB", 1},
        {100, -1, "0 MB / 0 MB", 0},
        {-4'000'000, 3'000'000, "0 MB / 3 MB", 0},
        // Decimal megabytes, one decimal unless the quotient is whole, no grouping.
        {999'999, 1'048'576, "1.0 MB / 1.0 MB", 999'999 / 1'048'576.0},
        {2'960'000, 12'000'000'000, "3.0 MB / 12000 MB", 2.96 / 12000},
        {INT64_MIN, INT64_MAX, "0 MB / 9223372036854.8 MB", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.written) + " of " + std::to_string(row.total));
        const CardModel card = after({Downloading{row.written, row.total}});
        EXPECT_EQ(card.detail, row.detail);
        EXPECT_DOUBLE_EQ(card.fraction, row.fraction);
    }
}

TEST(CardFailure, ReservesTheMeasuredMessageHeightWithinBoundsAndLaysItOut) {
    const struct {
        const char* why;
        std::size_t characters;
        double cardWidth;
        double lineHeight;
        double messageHeight;
    } rows[] = {
        // 22 characters fit a line of a 360-point card, 27 of a 420-point one.
        {"one line", 10, 360, 15.5, 20},
        {"two lines", 25, 360, 15.5, 33},
        {"two lines on a narrow card are one on a wide one", 25, 420, 15.5, 20},
        {"whole heights are not rounded up again", 25, 360, 16, 34},
        {"four lines just fit", 67, 360, 17, 70},
        {"many lines", 2000, 360, 15.5, 70},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        std::vector<double> widths;
        const std::string message(row.characters, 'x');
        const CardModel card = show(createCard(row.cardWidth), Failed{message}, row.cardWidth,
                                    FakeMeasure{row.lineHeight, &widths});
        EXPECT_EQ(widths, std::vector<double>{row.cardWidth - 104});
        EXPECT_EQ(card.messageHeight, row.messageHeight);
        const double height = row.messageHeight + 124;
        EXPECT_EQ(card.contentHeight, height);
        // What hangs from the top moves up with the height; the message starts where
        // the bar was, above the lowered button.
        expectFrames(card.frames, {{17, height - 33, 280, 18},
                                   {row.cardWidth - 34, height - 32, 17, 17},
                                   {14, height - 104, 62, 62},
                                   {84, height - 61, row.cardWidth - 104, 18},
                                   {84, height - 77, row.cardWidth - 104, 5},
                                   {84, 52, row.cardWidth - 104, row.messageHeight},
                                   {row.cardWidth - 80, 15, 62, 25}});
        // However much the label cuts, the whole message stays reachable.
        EXPECT_EQ(card.detailToolTip, message);
    }
}

} // namespace
} // namespace installer::ui
