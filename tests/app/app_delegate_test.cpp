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

std::string sha256Hex(std::string_view bytes) {
    trust::Sha256 digest;
    digest.update(bytes.data(), bytes.size());
    const auto sum = digest.finish();
    return trust::hex(std::string_view(reinterpret_cast<const char*>(sum.data()), sum.size()));
}

const std::string packageBytes = "an emulated disk image, thirty-nine bytes";

release::Manifest manifestFor(std::string_view content, std::string releaseId = "rel-1") {
    release::Manifest manifest;
    manifest.releaseId = std::move(releaseId);
    manifest.package.url = "https://localhost/packages/app.dmg";
    manifest.package.sizeBytes = static_cast<std::int64_t>(content.size());
    manifest.package.sha256 = sha256Hex(content);
    return manifest;
}

class AppDelegateTest : public ::testing::Test {
protected:
    AppDelegateTest() {
        system.home = temp / "home";
        fs::create_directories(system.home);
        fs::create_directories(systemApplications);
        config.apiOrigin = "https://localhost";
        config.environment = "sit";
        config.downloadHosts = {"localhost"};
        config.installerVersion = "1.0.5";
        services.resolved = manifestFor(packageBytes);
        services.rechecked = services.resolved;
        services.statusTexts = {"安装完成，正在确认启动…"};
    }
    ~AppDelegateTest() override {
        // A run held at a step is let go so the delegate can wind it down.
        services.resolveGate.open();
        services.recheckGate.open();
        services.installGate.open();
        delegate.reset();
    }

    app::AppDelegate& make() {
        delegate = std::make_unique<app::AppDelegate>(
            config, app::AppEnvironment{systemApplications, system, files, mainThread, services},
            display);
        return *delegate;
    }

    // The next case of a table starts from nothing: no delegate, home, script or card.
    void freshCase() {
        delegate.reset();
        fs::remove_all(system.home);
        fs::create_directories(system.home);
        services.reset();
        services.resolved = manifestFor(packageBytes);
        services.rechecked = services.resolved;
        display = {};
    }

    bool pumpUntil(const std::function<bool()>& done) { return mainThread.pumpUntil(done); }
    template <class Phase> bool pumpUntilShown() {
        return pumpUntil([&] { return std::holds_alternative<Phase>(display.phase()); });
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
    std::vector<std::string> shown() const {
        std::vector<std::string> texts;
        for (const auto& phase : display.shown)
            texts.push_back(describe(phase));
        return texts;
    }
    fs::path cache() const {
        return app::cacheFolder(system.home, config.environment, services.resolved.package.sha256);
    }

    TempDir temp;
    fs::path systemApplications = temp / "Applications";
    FakeSystem system;
    release::Settings config;
    platform::FileManager files;
    FakeMainThread mainThread;
    FakeDisplay display;
    FakeServices services;
    std::unique_ptr<app::AppDelegate> delegate;
};

TEST_F(AppDelegateTest, AFreshRunDownloadsInstallsAndRemovesItsCache) {
    auto& app = make();
    const fs::path otherDigest = cache().parent_path() / std::string(64, 'a');
    fs::create_directories(otherDigest);
    app.action();
    auto download = startedDownload();
    EXPECT_EQ(download->url(), services.resolved.package.url);
    struct stat info {};
    ASSERT_EQ(::stat(cache().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    download->report(static_cast<std::int64_t>(packageBytes.size()));
    download->finish(packageBytes);
    ASSERT_TRUE(pumpUntilIdle());

    const auto size = std::to_string(packageBytes.size());
    EXPECT_EQ(shown(), (std::vector<std::string>{
                           "checking", "downloading 0/" + size, "downloading " + size + "/" + size,
                           "verifying", "installing 正在安装…",
                           "installing 安装完成，正在确认启动…", "complete"}));
    EXPECT_EQ(services.installedTarget, systemApplications / "AI澄翎网盘测试版.app");
    EXPECT_EQ(services.installedPackage, cache() / "package.dmg");
    EXPECT_FALSE(fs::exists(cache()));
    EXPECT_TRUE(fs::exists(otherDigest));
    EXPECT_FALSE(app.installing());
}

TEST_F(AppDelegateTest, TheReleaseOfTheRecheckIsInstalledUnderTheEditionsName) {
    config.environment = "production";
    services.rechecked.releaseId = "rel-1-rechecked";
    auto& app = make();
    fs::create_directories(cache());
    writeFile(cache() / "package.dmg", packageBytes);
    app.action();
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(shown(),
              (std::vector<std::string>{"checking", "verifying", "installing 正在安装…",
                                        "installing 安装完成，正在确认启动…", "complete"}));
    EXPECT_EQ(services.download()->started(), false);
    EXPECT_EQ(services.installedTarget, systemApplications / "AI澄翎网盘.app");
    EXPECT_EQ(services.installedReleaseId, "rel-1-rechecked");
}

TEST_F(AppDelegateTest, FailuresShowTheirMessageAndKeepTheCacheForTheNextRun) {
    struct Case {
        const char* name;
        std::function<void(FakeServices&)> arrange;
        bool downloads;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"resolve",
         [](FakeServices& s) {
             s.resolveError = std::make_exception_ptr(InstallerError("当前没有可用的稳定版本"));
         },
         false, "当前没有可用的稳定版本"},
        {"untrusted url",
         [](FakeServices& s) { s.resolved.package.url = "https://elsewhere.example/app.dmg"; },
         false, "下载地址不受信任"},
        {"transfer", [](FakeServices&) {}, true, "下载失败"},
        {"recheck",
         [](FakeServices& s) {
             s.recheckError = std::make_exception_ptr(InstallerError("发布版本已变更，请重试"));
         },
         true, "发布版本已变更，请重试"},
        {"install",
         [](FakeServices& s) {
             s.installError =
                 std::make_exception_ptr(InstallerError("安装操作失败，请检查权限后重试"));
         },
         true, "安装操作失败，请检查权限后重试"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshCase();
        c.arrange(services);
        auto& app = make();
        app.action();
        if (c.downloads) {
            auto download = startedDownload();
            if (std::string(c.name) == "transfer")
                download->fail(std::make_exception_ptr(InstallerError("下载失败")));
            else
                download->finish(packageBytes);
        }
        ASSERT_TRUE(pumpUntilIdle());
        EXPECT_EQ(describe(display.phase()), "failed " + c.message);
        EXPECT_FALSE(app.installing());
        if (std::string(c.name) == "recheck" || std::string(c.name) == "install") {
            EXPECT_TRUE(fs::exists(cache() / "package.dmg"));
        }
    }
}

TEST_F(AppDelegateTest, ASecondRunAfterAFailedInstallReusesTheVerifiedPackage) {
    services.installError = std::make_exception_ptr(InstallerError("新版本启动失败，已恢复旧版本"));
    auto& app = make();
    app.action();
    startedDownload()->finish(packageBytes);
    ASSERT_TRUE(pumpUntilIdle());
    ASSERT_TRUE(std::holds_alternative<ui::Failed>(display.phase()));

    services.installError = nullptr;
    display.shown.clear();
    auto first = services.download();
    app.action();
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(shown().front(), "checking");
    EXPECT_EQ(shown().at(1), "verifying");
    EXPECT_EQ(describe(display.phase()), "complete");
    EXPECT_FALSE(services.download()->started()) << "the cached package was fetched again";
}

TEST_F(AppDelegateTest, ACorruptCachedPackageIsDownloadedAgain) {
    auto& app = make();
    fs::create_directories(cache());
    std::string corrupt = packageBytes;
    corrupt[3] ^= 1;
    writeFile(cache() / "package.dmg", corrupt);
    app.action();
    auto download = startedDownload();
    download->finish(packageBytes);
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(shown().at(1), "downloading 0/" + std::to_string(packageBytes.size()));
    EXPECT_EQ(describe(display.phase()), "complete");
}

TEST_F(AppDelegateTest, TheActionButtonDependsOnThePhaseShown) {
    struct Row {
        ui::InstallerPhase phase;
        std::string effect;
    };
    const std::vector<Row> rows = {
        {ui::Ready{}, "start"},
        {ui::Failed{"x"}, "start"},
        {ui::Cancelled{}, "start"},
        {ui::Checking{}, "stop"},
        {ui::Downloading{1, 2}, "stop"},
        {ui::Verifying{}, "stop"},
        {ui::Installing{"正在安装…"}, "nothing"},
        {ui::Complete{}, "close"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(describe(row.phase));
        display = {};
        display.render(row.phase);
        display.shown.clear();
        auto& app = make();
        app.action();
        std::string effect = "nothing";
        if (display.closed)
            effect = "close";
        else if (!display.actionEnabled)
            effect = "stop";
        else if (app.running())
            effect = "start";
        EXPECT_EQ(effect, row.effect);
        if (row.effect == "start") {
            EXPECT_EQ(shown().front(), "checking");
        }
        services.resolveGate.open();
        delegate.reset();
    }
}

TEST_F(AppDelegateTest, StoppingAtAnyStepShowsCancelledNeverFailed) {
    struct Step {
        const char* name;
        std::function<void()> holdThere;
        std::function<bool()> reached;
    };
    auto& resolveGate = services.resolveGate;
    auto& recheckGate = services.recheckGate;
    const std::vector<Step> steps = {
        {"resolve", [&] { resolveGate.close(); }, [&] { return resolveGate.reached(); }},
        {"download", [] {}, [&] { return services.download() && services.download()->started(); }},
        {"recheck", [&] { recheckGate.close(); }, [&] { return recheckGate.reached(); }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        freshCase();
        if (std::string(step.name) == "recheck") {
            fs::create_directories(cache());
            writeFile(cache() / "package.dmg", packageBytes);
        }
        step.holdThere();
        auto& app = make();
        app.action();
        ASSERT_TRUE(pumpUntil(step.reached));
        app.action();
        EXPECT_FALSE(display.actionEnabled);
        ASSERT_TRUE(pumpUntilIdle());
        EXPECT_EQ(describe(display.phase()), "cancelled");
        EXPECT_TRUE(display.actionEnabled);
        EXPECT_EQ(services.installs(), 0);
    }
}

TEST_F(AppDelegateTest, PressingTwiceStopsAndANewRunIgnoresTheOldOnesLateReports) {
    services.resolveGate.close();
    auto& app = make();
    app.action();
    app.action();
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(shown(), (std::vector<std::string>{"checking", "cancelled"}));

    services.resolveGate.open();
    app.action();
    auto first = startedDownload();
    app.action(); // stop during the download
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(describe(display.phase()), "cancelled");

    app.action();
    auto second = startedDownload(first);
    ASSERT_NE(first, second);
    ASSERT_TRUE(pumpUntilShown<ui::Downloading>());
    first->report(5); // a report of the stopped run, arriving late
    second->report(7);
    ASSERT_TRUE(pumpUntil([&] {
        return describe(display.phase()) == "downloading 7/" + std::to_string(packageBytes.size());
    }));
    for (const auto& text : shown())
        EXPECT_NE(text, "downloading 5/" + std::to_string(packageBytes.size()));
    second->finish(packageBytes);
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(describe(display.phase()), "complete");
}

TEST_F(AppDelegateTest, ProgressIsThrottledButTheFullSizeIsShownAtOnce) {
    const std::string big(1000, 'x');
    services.resolved = manifestFor(big);
    services.rechecked = services.resolved;
    services.recheckGate.close();
    auto& app = make();
    app.action();
    auto download = startedDownload();
    ASSERT_TRUE(pumpUntilShown<ui::Downloading>());
    // Reports 30 ms apart; each is pumped before the next, as on a busy main thread.
    for (int written : {100, 200, 300, 400, 500}) {
        download->report(written);
        const auto before = display.shown.size();
        mainThread.pumpUntil([&] { return false; }, 20ms);
        EXPECT_LE(display.shown.size(), before + 1);
        system.clock += 30ms;
    }
    download->report(1000);
    mainThread.pumpUntil([&] { return false; }, 20ms);
    download->finish(big);
    ASSERT_TRUE(pumpUntilShown<ui::Verifying>());
    download->report(1000); // after verifying began, it changes nothing
    mainThread.pumpUntil([&] { return false; }, 20ms);
    EXPECT_EQ(shown(), (std::vector<std::string>{"checking", "downloading 0/1000",
                                                 "downloading 100/1000", "downloading 500/1000",
                                                 "downloading 1000/1000", "verifying"}));
    services.recheckGate.open();
    ASSERT_TRUE(pumpUntilIdle());
}

TEST_F(AppDelegateTest, QuittingAndClosingAreRefusedOnlyWhileInstalling) {
    services.installGate.close();
    auto& app = make();
    app.action();
    auto first = startedDownload();
    // During the download a quit goes ahead and the run is cancelled.
    EXPECT_TRUE(app.shouldTerminate());
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(describe(display.phase()), "cancelled");

    app.action();
    startedDownload(first)->finish(packageBytes);
    ASSERT_TRUE(pumpUntil([&] { return services.installGate.reached(); }));
    EXPECT_TRUE(app.installing());
    EXPECT_FALSE(app.shouldTerminate());
    EXPECT_FALSE(app.windowShouldClose());
    app.close();
    app.action();
    EXPECT_FALSE(display.closed);
    EXPECT_TRUE(display.actionEnabled);
    services.installGate.open();
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(describe(display.phase()), "complete");
    EXPECT_TRUE(app.windowShouldClose());
}

TEST_F(AppDelegateTest, AnUnwritableSystemFolderAsksBeforeInstallingForTheUser) {
    fs::remove_all(systemApplications); // nobody can write a folder that is not there
    fs::create_directories(cache());
    writeFile(cache() / "package.dmg", packageBytes);

    display.acceptUserFolder = false;
    auto& app = make();
    app.action();
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(display.questions, 1);
    EXPECT_EQ(describe(display.phase()), "cancelled");
    EXPECT_EQ(services.installs(), 0);
    EXPECT_TRUE(fs::exists(cache() / "package.dmg"));

    display.acceptUserFolder = true;
    app.action();
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(display.questions, 2);
    EXPECT_EQ(describe(display.phase()), "complete");
    EXPECT_TRUE(fs::is_directory(system.home / "Applications"));
    EXPECT_EQ(services.installedTarget, system.home / "Applications" / "AI澄翎网盘测试版.app");
}

TEST_F(AppDelegateTest, AQuitAnsweredWhileTheQuestionIsOpenNeverStartsTheTransaction) {
    fs::remove_all(systemApplications);
    fs::create_directories(cache());
    writeFile(cache() / "package.dmg", packageBytes);
    auto& app = make();
    display.whileAsking = [&] { EXPECT_TRUE(app.shouldTerminate()); };
    app.action();
    ASSERT_TRUE(pumpUntilIdle());
    EXPECT_EQ(describe(display.phase()), "cancelled");
    EXPECT_EQ(services.installs(), 0);
}

TEST_F(AppDelegateTest, DestroyingTheDelegateMidRunEndsTheRunWithoutTouchingIt) {
    services.resolveGate.close();
    auto& app = make();
    app.action();
    ASSERT_TRUE(pumpUntil([&] { return services.resolveGate.reached(); }));
    delegate.reset(); // joins the run, which gives up at its stop
    EXPECT_FALSE(mainThread.pumpUntil([&] { return false; }, 50ms));
    EXPECT_EQ(shown(), (std::vector<std::string>{"checking"}));
}

} // namespace
} // namespace installer::testing
