#include "ui/card_model.h"

#include "ui/card_style.h"
#include "ui/megabytes.h"

#include <algorithm>
#include <cmath>

namespace installer::ui {

namespace {

// Texts and the bar sit right of the icon and leave this much of the card's width
// for it and the margins.
constexpr double textInset = 104;
// Beside a visible action button a one-line detail leaves room for the button too.
constexpr double besideActionInset = 172;
constexpr double minimumMessageHeight = 20;
constexpr double maximumMessageHeight = 70;
// Everything of an expanded card but the message.
constexpr double expandedChrome = 124;

template <class... Handlers> struct Overloaded : Handlers... { using Handlers::operator()...; };
// clang before 17 deduces aggregate templates only with a guide.
template <class... Handlers> Overloaded(Handlers...) -> Overloaded<Handlers...>;

double downloadFraction(const Downloading& download) {
    if (download.total < 1)
        return 0;
    const double fraction =
        static_cast<double>(download.written) / static_cast<double>(download.total);
    return std::clamp(fraction, 0.0, 1.0);
}

std::string downloadDetail(const Downloading& download) {
    const std::int64_t shown =
        std::max<std::int64_t>(0, std::min(download.written, download.total));
    const std::int64_t total = std::max<std::int64_t>(download.total, 0);
    return megabytes(shown) + " / " + megabytes(total);
}

double messageHeight(std::string_view message, double width, const TextMeasure& measure) {
    const double measured = std::ceil(measure(message, width - textInset)) + 2;
    return std::clamp(measured, minimumMessageHeight, maximumMessageHeight);
}

void setTexts(CardModel& card, std::string_view status, std::string_view detail) {
    card.status = status;
    card.detail = detail;
}

// The install transaction must not be interrupted, so neither button is usable.
void lockForInstalling(CardModel& card) {
    card.actionVisible = false;
    card.closeEnabled = false;
}

} // namespace

bool confirmsStart(std::string_view status) {
    return status.find("确认启动") != std::string_view::npos;
}

CardModel show(const CardModel& current, const InstallerPhase& phase, double width,
               const TextMeasure& measure) {
    CardModel card = current;
    card.phase = phase;
    card.expanded = false;
    card.actionEnabled = true;
    card.actionVisible = true;
    card.closeEnabled = true;
    card.progressVisible = true;
    card.detailToolTip.clear();

    std::visit(Overloaded{
                   [&](const Ready&) {
                       setTexts(card, "准备安装AI澄翎网盘", "获取当前稳定版本");
                       card.fraction = 0;
                       card.actionTitle = "安装";
                   },
                   [&](const Checking&) {
                       setTexts(card, "正在检查安装版本…", "正在连接下载服务");
                       card.fraction = 0;
                       card.actionTitle = "取消";
                   },
                   [&](const Downloading& download) {
                       card.status = "正在下载安装文件…";
                       card.detail = downloadDetail(download);
                       card.fraction = downloadFraction(download);
                       card.actionTitle = "取消";
                   },
                   [&](const Verifying&) {
                       setTexts(card, "正在校验安装文件…", "校验完成后继续安装");
                       card.fraction = 1;
                       card.actionTitle = "取消";
                   },
                   [&](const Installing& installing) {
                       if (confirmsStart(installing.status))
                           setTexts(card, "正在启动AI澄翎网盘…", "安装完成，正在确认启动");
                       else
                           setTexts(card, "正在安装AI澄翎网盘…", "请稍候，即将安装完成");
                       card.fraction = 1;
                       lockForInstalling(card);
                   },
                   [&](const Complete&) {
                       setTexts(card, "AI澄翎网盘安装完成", "可以开始使用了");
                       card.fraction = 1;
                       card.actionTitle = "关闭";
                   },
                   [&](const Failed& failed) {
                       card.status = "安装未完成";
                       card.detail = failed.message;
                       card.detailToolTip = failed.message;
                       card.progressVisible = false;
                       card.actionTitle = "重试";
                       card.expanded = true;
                       card.messageHeight = messageHeight(failed.message, width, measure);
                   },
                   [&](const Cancelled&) {
                       setTexts(card, "下载已取消", "可重新开始安装");
                       card.fraction = 0;
                       card.actionTitle = "重试";
                   },
               },
               phase);

    card.contentHeight = card.expanded ? card.messageHeight + expandedChrome : style::cardHeight;
    card.frames = layout(card, width, card.contentHeight);
    return card;
}

CardModel createCard(double width) {
    return show(CardModel{}, Ready{}, width, TextMeasure{});
}

CardFrames layout(const CardModel& card, double width, double height) {
    CardFrames frames;
    frames.heading = {17, height - 33, 280, 18};
    frames.close = {width - 34, height - 32, 17, 17};
    frames.icon = {14, height - 104, 62, 62};
    frames.status = {84, height - 61, width - textInset, 18};
    frames.progress = {84, height - 77, width - textInset, 5};
    if (card.expanded)
        frames.detail = {84, 52, width - textInset, card.messageHeight};
    else
        frames.detail = {84, 29, width - (card.actionVisible ? besideActionInset : textInset), 17};
    frames.action = {width - 80, card.expanded ? 15.0 : 24.0, 62, 25};
    return frames;
}

} // namespace installer::ui
