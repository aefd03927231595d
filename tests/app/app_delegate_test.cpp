#include "app/app_delegate.h"
#include "app/fakes.h"
#include "platform/installer_error.h"
#include "support/fake_system.h"
#include "support/temp_dir.h"
#include "trust/crypto.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string describe(const ui::InstallerPhase& phase) {
    struct {
        std::string operator()(const ui::Ready&) { return "ready"; }
        std::string operator()(const ui::Checking&) { return "checking"; }
        std::string operator()(const ui::Downloading& d) {
            return "downloading " + std::to_string(d.written) + "/" + std::to_string(d.total);
        }
        std::string operator()(const ui::Verifying&) { return "verifying"; }
        std::string operator()(const ui::Installing& i) { return "installing " + i.status; }
        std::string operator()(const ui::Complete&) { return "complete"; }
        std::string operator()(const ui::Failed& f) { return "failed " + f.message; }
        std::string operator()(const ui::Cancelled&) { return "cancelled"; }
    } visitor;
    return std::visit(visitor, phase);
}

const std::string packageBytes = "an emulated disk image, forty-one bytes!!";

release::Manifest manifestFor(std::string_view content) {
    trust::Sha256 digest;
    digest.update(content.data(), content.size());
    const auto sum = digest.finish();
    release::Manifest manifest;
    manifest.releaseId = "rel-1";
    manifest.package.url = "https://localhost/packages/app.dmg";
    manifest.package.sizeBytes = static_cast<std::int64_t>(content.size());
    manifest.package.sha256 =
        trust::hex(std::string_view(reinterpret_cast<const char*>(sum.data()), sum.size()));
    return manifest;
}

// One delegate and all it works with, in a fresh temp folder.
struct Harness {
    Harness() {
        system.home = temp / "home";
        fs::create_directories(system.home);
        fs::create_directories(apps);
        config.apiOrigin = "https://localhost";
        config.environment = "sit";
        config.downloadHosts = {"localhost"};
        services.resolved = services.rechecked = manifestFor(packageBytes);
    }
    ~Harness() {
        // A run held installing is let go so the delegate can wind it down.
        services.release("install");
        delegate.reset();
    }

    app::AppDelegate& make() {
        return delegate.emplace(
            config, app::AppEnvironment{apps, system, files, mainThread, services}, display);
    }
    void cachePackage(std::string_view content) const {
        fs::create_directories(cache());
        writeFile(cache() / "package.dmg", content);
    }
    bool pumpUntil(const std::function<bool()>& done) { return mainThread.pumpUntil(done); }
    bool pumpUntilShown(const std::string& phase) {
        return pumpUntil([&] { return describe(display.phase()) == phase; });
    }
    bool pumpUntilIdle() {
        return pumpUntil([&] { return !delegate->running(); });
    }
    // The transfer a run started, once it is not the one of an earlier run.
    std::shared_ptr<FakeDownload>
    startedDownload(const std::shared_ptr<FakeDownload>& earlier = {}) {
        EXPECT_TRUE(pumpUntil([&] {
            auto download = services.download();
            return download && download != earlier && download->started();
        }));
        return services.download();
    }
    // Every phase shown since the card was created.
    std::vector<std::string> shown(std::size_t from = 1) const {
        std::vector<std::string> texts;
        for (auto phase = display.shown.begin() + from; phase != display.shown.end(); ++phase)
            texts.push_back(describe(*phase));
        return texts;
    }
    fs::path cache() const {
        return app::cacheFolder(system.home, config.environment, services.resolved.package.sha256);
    }

    TempDir temp;
    fs::path apps = temp / "Applications";
    FakeSystem system;
    release::Settings config;
    platform::FileManager files;
    FakeMainThread mainThread{system};
    FakeDisplay display;
    FakeServices services;
    std::optional<app::AppDelegate> delegate;
};

std::vector<std::string> operator+(std::vector<std::string> first,
                                   const std::vector<std::string>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

TEST(AppRun, EachRunShowsItsStepsAndEndsAsTheyDecide) {
    const std::string size = std::to_string(packageBytes.size());
    const std::vector<std::string> downloaded = {"checking", "downloading 0/" + size,
                                                 "downloading " + size + "/" + size, "verifying"};
    const std::vector<std::string> installed = {"installing 正在安装…",
                                                "installing 安装完成，正在确认启动…", "complete"};
    const auto fail = [](const char* step, const char* message) {
        return [=](Harness& h) {
            h.services.errors[step] = std::make_exception_ptr(InstallerError(message));
        };
    };
    const auto askFirst = [](bool accept, bool quitMeanwhile = false) {
        return [=](Harness& h) {
            fs::remove_all(h.apps); // nobody can write a folder that is not there
            h.cachePackage(packageBytes);
            h.display.acceptUserFolder = accept;
            if (quitMeanwhile)
                h.display.whileAsking = [&h] { EXPECT_TRUE(h.delegate->shouldTerminate()); };
        };
    };
    const std::vector<std::string> declined = {"checking", "verifying", "cancelled"};
    const std::vector<std::string> downloadFailed = {"checking", "downloading 0/" + size,
                                                     "failed 下载失败"};
    std::string corrupt = packageBytes;
    corrupt[3] ^= 1;
    enum Transfer { none, fails, finishes };
    const struct {
        const char* name;
        std::function<void(Harness&)> arrange;
        Transfer transfer;
        std::vector<std::string> shown;
        // Where the application went, from the temp folder; or whether the package stays.
        std::variant<const char*, bool> installedOrKept;
    } rows[] = {
        {"fresh", [](Harness&) {}, finishes, downloaded + installed,
         "Applications/AI澄翎网盘测试版.app"},
        {"cached",
         [](Harness& h) {
             h.config.environment = "production";
             h.cachePackage(packageBytes);
         },
         none, std::vector<std::string>{"checking", "verifying"} + installed,
         "Applications/AI澄翎网盘.app"},
        {"corrupt cache", [&](Harness& h) { h.cachePackage(corrupt); }, finishes,
         downloaded + installed, "Applications/AI澄翎网盘测试版.app"},
        {"user folder", askFirst(true), none,
         std::vector<std::string>{"checking", "verifying"} + installed,
         "home/Applications/AI澄翎网盘测试版.app"},
        {"user folder declined", askFirst(false), none, declined, true},
        {"quit while asking", askFirst(true, true), none, declined, true},
        {"untrusted url",
         [](Harness& h) { h.services.resolved.package.url = "https://x.example/a"; },
         none,
         {"checking", "failed 下载地址不受信任"},
         false},
        {"transfer fails", [](Harness&) {}, fails, downloadFailed, false},
        {"recheck fails", fail("recheck", "发布版本已变更，请重试"), finishes,
         downloaded + std::vector<std::string>{"failed 发布版本已变更，请重试"}, true},
        {"install fails", fail("install", "安装操作失败，请检查权限后重试"), finishes,
         downloaded + std::vector<std::string>{"installing 正在安装…",
                                               "failed 安装操作失败，请检查权限后重试"},
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        h.services.rechecked.releaseId = "rel-1-rechecked";
        // The transaction's last text must not step the card back from starting.
        h.services.statusTexts = {"安装完成，正在确认启动…", "更新已完成"};
        row.arrange(h);
        const fs::path otherDigest = h.cache().parent_path() / std::string(64, 'a');
        fs::create_directories(otherDigest);
        const bool cached = fs::exists(h.cache());
        h.make().action();
        if (row.transfer != none) {
            auto download = h.startedDownload();
            EXPECT_EQ(download->url, h.services.resolved.package.url);
            struct stat info {};
            ASSERT_EQ(::stat(h.cache().c_str(), &info), 0);
            EXPECT_TRUE(cached || (info.st_mode & 0777) == 0700u);
            if (row.transfer == fails) {
                download->end(std::make_exception_ptr(InstallerError("下载失败")));
            } else {
                download->report(static_cast<std::int64_t>(packageBytes.size()));
                download->finish(packageBytes);
            }
        }
        ASSERT_TRUE(h.pumpUntilIdle());
        EXPECT_EQ(h.shown(), row.shown);
        EXPECT_FALSE(h.delegate->installing());
        EXPECT_TRUE(fs::exists(otherDigest));
        EXPECT_EQ(h.services.installs, std::ranges::count(row.shown, "installing 正在安装…"));
        if (const auto* target = std::get_if<const char*>(&row.installedOrKept)) {
            EXPECT_EQ(h.services.installedTarget, h.temp / *target);
            EXPECT_EQ(h.services.installedPackage, h.cache() / "package.dmg");
            EXPECT_EQ(h.services.installedReleaseId, "rel-1-rechecked");
            EXPECT_FALSE(fs::exists(h.cache()));
        } else {
            EXPECT_EQ(fs::exists(h.cache() / "package.dmg"), std::get<bool>(row.installedOrKept));
        }
    }
}

TEST(AppRun, AStopAtAnyStepShowsCancelledAndNothingElseOfThatRun) {
    // Each brings a run to the step and leaves it there, nothing of it left to show.
    const auto atRecheck = [](Harness& h) {
        h.cachePackage(packageBytes);
        h.services.hold("recheck");
        h.make().action();
        return h.pumpUntil([&] {
            return h.services.reached("recheck") && describe(h.display.phase()) == "verifying";
        });
    };
    // The stop reaches the main thread after the run has asked for its next waited
    // call there, but before that call ran.
    const auto nextCallPosted = [&](Harness& h) {
        if (!atRecheck(h))
            return false;
        h.services.release("recheck");
        return h.mainThread.waitUntilPosted();
    };
    const struct {
        const char* step;
        std::function<bool(Harness&)> reach;
    } rows[] = {
        // The second press arrives before the run has reached its first step.
        {"pressed twice",
         [](Harness& h) {
             h.services.hold("resolve");
             h.make().action();
             return true;
         }},
        {"resolve",
         [](Harness& h) {
             h.services.hold("resolve");
             h.make().action();
             return h.pumpUntil([&] { return h.services.reached("resolve"); });
         }},
        {"download",
         [](Harness& h) {
             h.make().action();
             h.startedDownload();
             return h.pumpUntilShown("downloading 0/" + std::to_string(packageBytes.size()));
         }},
        {"recheck", atRecheck},
        {"folder question",
         [&](Harness& h) {
             fs::remove_all(h.apps); // nobody can write a folder that is not there
             return nextCallPosted(h);
         }},
        {"entering installing", nextCallPosted},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        Harness h;
        ASSERT_TRUE(row.reach(h));
        const std::size_t before = h.display.shown.size();
        h.delegate->action();
        EXPECT_FALSE(h.display.actionEnabled);
        ASSERT_TRUE(h.pumpUntilIdle());
        EXPECT_EQ(h.shown(before), std::vector<std::string>{"cancelled"});
        EXPECT_TRUE(h.display.actionEnabled);
        EXPECT_EQ(h.display.questions, 0);
        EXPECT_EQ(h.services.installs, 0);
    }
}

TEST(AppRun, ANewRunIgnoresTheLateReportsOfAStoppedOne) {
    Harness h;
    auto& app = h.make();
    app.action();
    auto first = h.startedDownload();
    app.action(); // stop during the download
    ASSERT_TRUE(h.pumpUntilIdle());

    app.action();
    auto second = h.startedDownload(first);
    const std::string total = "/" + std::to_string(packageBytes.size());
    ASSERT_TRUE(h.pumpUntilShown("downloading 0" + total));
    first->report(5); // a report of the stopped run, arriving late
    second->report(7);
    ASSERT_TRUE(h.pumpUntilShown("downloading 7" + total));
    EXPECT_EQ(std::ranges::count(h.shown(), "downloading 5" + total), 0);
    second->finish(packageBytes);
    ASSERT_TRUE(h.pumpUntilIdle());
    EXPECT_EQ(describe(h.display.phase()), "complete");
}

TEST(AppRun, ProgressIsThrottledButTheLatestReportIsShownWhenItsIntervalEnds) {
    Harness h;
    const std::string big(1000, 'x');
    h.services.resolved = h.services.rechecked = manifestFor(big);
    h.services.hold("recheck");
    h.make().action();
    auto download = h.startedDownload();
    ASSERT_TRUE(h.pumpUntilShown("downloading 0/1000"));
    const auto start = h.system.clock;
    // Reports 30 ms apart, each handled before the next; then the host stalls for a
    // while, and at last sends the rest.
    const struct {
        int ms;
        std::int64_t written; // 0: no report
        const char* shown;
    } steps[] = {
        {0, 100, "100"}, {30, 200, "100"},  {60, 300, "100"},    {99, 0, "100"},
        {100, 0, "300"}, {130, 400, "300"}, {160, 1000, "1000"}, {300, 0, "1000"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.ms);
        h.system.clock = start + std::chrono::milliseconds(step.ms);
        if (step.written > 0)
            download->report(step.written);
        h.mainThread.pumpUntil([] { return false; }, 20ms);
        EXPECT_EQ(describe(h.display.phase()), "downloading " + std::string(step.shown) + "/1000");
    }
    download->finish(big);
    ASSERT_TRUE(h.pumpUntilShown("verifying"));
    download->report(1000); // after verifying began, it changes nothing
    h.mainThread.pumpUntil([] { return false; }, 20ms);
    EXPECT_EQ(h.shown(), (std::vector<std::string>{"checking", "downloading 0/1000",
                                                   "downloading 100/1000", "downloading 300/1000",
                                                   "downloading 1000/1000", "verifying"}));
    h.services.release("recheck");
    ASSERT_TRUE(h.pumpUntilIdle());
}

TEST(AppRun, QuittingAndClosingAreRefusedOnlyWhileInstallingAndTheCompleteCardCloses) {
    Harness h;
    h.services.hold("install");
    auto& app = h.make();
    // A quit before installing goes ahead: the "quit while asking" row of the run table.
    app.action();
    h.startedDownload()->finish(packageBytes);
    ASSERT_TRUE(h.pumpUntil([&] { return h.services.reached("install"); }));
    EXPECT_TRUE(app.installing());
    EXPECT_FALSE(app.shouldTerminate());
    EXPECT_FALSE(app.windowShouldClose());
    app.close();
    app.action(); // the button is hidden; a press that still arrives does nothing
    EXPECT_FALSE(h.display.closed);
    EXPECT_TRUE(h.display.actionEnabled);
    h.services.release("install");
    ASSERT_TRUE(h.pumpUntilIdle());
    EXPECT_EQ(describe(h.display.phase()), "complete");
    EXPECT_TRUE(app.windowShouldClose());
    app.action();
    EXPECT_TRUE(h.display.closed);
}

TEST(AppRun, DestroyingTheDelegateMidRunEndsTheRunWithoutTouchingIt) {
    Harness h;
    h.services.hold("resolve");
    h.make().action();
    ASSERT_TRUE(h.pumpUntil([&] { return h.services.reached("resolve"); }));
    h.delegate.reset(); // joins the run, which gives up at its stop
    EXPECT_FALSE(h.mainThread.pumpUntil([] { return false; }, 50ms));
    EXPECT_EQ(h.shown(), std::vector<std::string>{"checking"});
}

} // namespace
} // namespace installer::testing
