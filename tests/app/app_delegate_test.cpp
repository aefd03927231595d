#include "app/app_delegate.h"
#include "hosts/hosts.h"
#include "support/fake_system.h"
#include "support/temp_dir.h"
#include "transfer/fault_server.h"
#include "transfer/transfer_error.h"
#include "trust/verify_file.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <mutex>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace app;
using namespace std::chrono_literals;

std::string describe(const ui::InstallerPhase& phase) {
    static const char* const names[] = {"ready",      "checking", "downloading", "verifying",
                                        "installing", "complete", "failed",      "cancelled"};
    std::string text = names[phase.index()];
    if (const auto* download = std::get_if<ui::Downloading>(&phase))
        text += " " + std::to_string(download->written) + "/" + std::to_string(download->total);
    else if (const auto* installing = std::get_if<ui::Installing>(&phase))
        text += " " + installing->status;
    else if (const auto* failed = std::get_if<ui::Failed>(&phase))
        text += " " + failed->message;
    return text;
}

const std::string packageBytes(1000, 'x');

// The test's thread is the main thread: posted tasks wait until it pumps them, delayed
// ones also until the test's clock reaches their time. A held step waits until let go.
struct Harness : MainThread, InstallerDisplay, InstallServices, PackageDownload {
    Harness() {
        system.home = temp / "home";
        fs::create_directories(apps);
        config.environment = "sit";
        config.downloadHosts = {"localhost"};
        resolved.package.url = "https://localhost/packages/app.dmg";
        resolved.package.sizeBytes = 1000;
        resolved.package.sha256 =
            "44f8354494a5ba03ba1792a8d3e9c534c47a9181980fde7a3f44b06ef2ae7c7f";
    }
    ~Harness() { hold("install", false); }

    void post(std::function<void()> task) override { postAfter(0ms, std::move(task)); }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        const std::lock_guard lock(mutex);
        tasks.emplace_back(system.now() + delay, std::move(task));
        changed.notify_all();
    }
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            std::unique_lock lock(mutex);
            const auto due =
                std::ranges::find_if(tasks, [&](const auto& t) { return t.first <= system.now(); });
            // Short waits: what the test waits for may happen on a worker without a post.
            if (due == tasks.end()) {
                changed.wait_for(lock, 2ms);
                continue;
            }
            const auto task = std::move(due->second);
            tasks.erase(due);
            lock.unlock();
            task();
        }
        return done();
    }

    void render(const ui::InstallerPhase& phase) override {
        current = phase;
        shown += describe(phase) + "; ";
    }
    const ui::InstallerPhase& phase() const override { return current; }
    void disableAction() override { shown += "disabled; "; }
    void closeWindow() override { shown += "closed; "; }
    bool confirmUserApplications(std::stop_token) override { return false; }

    transfer::ServiceAddress serviceAddress() override { return {"https://localhost", {}}; }
    release::Manifest resolveRelease(const transfer::ServiceAddress&,
                                     std::stop_token stop) override {
        pass("resolve", stop);
        return resolved;
    }
    release::Manifest recheckRelease(const transfer::ServiceAddress&, const release::Manifest&,
                                     std::stop_token stop) override {
        pass("recheck", stop);
        release::Manifest rechecked = resolved;
        rechecked.releaseId = "rel-1-rechecked";
        return rechecked;
    }
    std::shared_ptr<PackageDownload> makeDownload(fs::path destination,
                                                  transfer::ProgressCallback report) override {
        const std::lock_guard lock(mutex);
        std::tie(downloadFile, progress, cancelled) =
            std::tuple(destination, report, std::stop_source());
        return {std::shared_ptr<void>(), this};
    }
    // The last report comes first; a cancel even before the start is seen.
    void start(const std::string& from, transfer::CompletionCallback completion) override {
        try {
            EXPECT_EQ(from, resolved.package.url);
            pass("download", cancelled.get_token());
            progress(1000, -1);
            writeFile(downloadFile, packageBytes);
            completion(downloadFile);
        } catch (...) {
            completion(std::current_exception());
        }
    }
    void cancel() override { cancelled.request_stop(); }
    void verifyFile(const fs::path& file, const release::Package& package) override {
        trust::verifyFile(file, package);
    }
    // The install transaction's own rules; the window's run is what applies them.
    void checkInstalled(const release::Manifest&, const fs::path&) override {}
    void install(const fs::path& package, const release::Manifest& manifest, const fs::path& target,
                 const install::StatusCallback& status) override {
        pass("install", {}, package.string() + " " + target.string() + " " + manifest.releaseId);
        // The transaction's last text must not step the card back from starting.
        for (const char* text : {"安装完成，正在确认启动…", "更新已完成"})
            status(text);
    }

    void pass(const std::string& step, const std::stop_token& stop, std::string seen = "") {
        std::unique_lock lock(mutex);
        reached[step] = seen;
        changed.wait(lock, stop, [&] { return !held[step]; });
        // A request cut short by the stop fails as the real one would.
        if (stop.stop_requested())
            throw transfer::TransferError(transfer::cancelledCode, "请求已取消");
        if (errors.contains(step))
            throw transfer::TransferError(7, errors.at(step)); // not a cancellation
    }
    void hold(const std::string& step, bool on = true) {
        const std::lock_guard lock(mutex);
        held[step] = on;
        changed.notify_all();
    }

    AppDelegate& make() {
        return delegate.emplace(config, AppEnvironment{apps, system, files, *this, *this}, *this);
    }
    void cachePackage(std::string_view content) const {
        fs::create_directories(cache());
        writeFile(cache() / "package.dmg", content);
    }
    bool pumpUntilIdle() {
        return pumpUntil([&] { return !delegate->running(); });
    }
    bool runUntilHeld(const std::string& step) {
        hold(step);
        reached.erase(step); // no run is going
        (delegate ? *delegate : make()).action();
        return pumpUntil([&] {
            const std::lock_guard lock(mutex);
            return reached.contains(step) && tasks.empty();
        });
    }
    fs::path cache() const {
        return cacheFolder(system.home, config.environment, resolved.package.sha256);
    }

    TempDir temp;
    fs::path apps = temp / "Applications";
    FakeSystem system;
    release::Settings config;
    platform::FileManager files;

    ui::InstallerPhase current = ui::Ready{};
    std::string shown; // each phase shown, the button disabled, the window closed, with "; "

    release::Manifest resolved;
    std::map<std::string, std::string> errors; // a step named here fails with the message
    fs::path downloadFile;
    transfer::ProgressCallback progress;
    std::stop_source cancelled;

    std::mutex mutex;
    std::condition_variable_any changed;
    std::deque<std::pair<platform::Clock::time_point, std::function<void()>>> tasks;
    std::map<std::string, bool> held;
    std::map<std::string, std::string> reached; // with install's paths
    // Last, so that its run is wound down before anything the run uses goes.
    std::optional<AppDelegate> delegate;
};

TEST(AppRun, EachRunShowsItsStepsAndEndsAsTheyDecide) {
    const std::string fetched = "checking; downloading 0/1000; downloading 1000/1000; verifying; ";
    const std::string installed =
        "installing 正在安装…; installing 安装完成，正在确认启动…; complete; ";
    const struct {
        const char* name;
        std::function<void(Harness&)> arrange;
        std::string shown;
        // Where the application went, from the temp folder; or whether the package stays.
        std::variant<const char*, bool> installedOrKept;
    } rows[] = {
        {"fresh", [](Harness&) {}, fetched + installed, "Applications/AI澄翎网盘测试版.app"},
        {"cached",
         [](Harness& h) {
             h.config.environment = "production";
             h.cachePackage(packageBytes);
         },
         "checking; verifying; " + installed, "Applications/AI澄翎网盘.app"},
        {"corrupt cache", [](Harness& h) { h.cachePackage(std::string(999, 'x') + "y"); },
         fetched + installed, "Applications/AI澄翎网盘测试版.app"},
        {"untrusted url", [](Harness& h) { h.resolved.package.url = "https://x.example/a"; },
         "checking; failed 下载地址不受信任; ", false},
        {"transfer fails", [](Harness& h) { h.errors["download"] = "下载失败"; },
         "checking; downloading 0/1000; failed 下载失败; ", false},
        {"install fails", [](Harness& h) { h.errors["install"] = "权限不足"; },
         fetched + "installing 正在安装…; failed 权限不足; ", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        row.arrange(h);
        const fs::path otherDigest = h.cache().parent_path() / std::string(64, 'a');
        fs::create_directories(otherDigest);
        const bool wasCached = fs::exists(h.cache());
        h.make().action();
        ASSERT_TRUE(h.pumpUntilIdle());
        EXPECT_EQ(h.shown, row.shown);
        EXPECT_TRUE(fs::exists(otherDigest));
        // Only the user may read a package being fetched.
        if (!wasCached && fs::exists(h.cache())) {
            EXPECT_EQ(fs::status(h.cache()).permissions() & fs::perms::all, fs::perms::owner_all);
        }
        if (const auto* target = std::get_if<const char*>(&row.installedOrKept)) {
            EXPECT_EQ(h.reached["install"], (h.cache() / "package.dmg").string() + " " +
                                                (h.temp / *target).string() + " rel-1-rechecked");
            EXPECT_FALSE(fs::exists(h.cache()));
        } else {
            EXPECT_EQ(fs::exists(h.cache() / "package.dmg"), std::get<bool>(row.installedOrKept));
        }
    }
}

TEST(AppRun, AStopAtAnyStepShowsCancelledAndNothingElseOfThatRun) {
    const struct {
        const char* held;
        // Let go, the run has asked for its next waited call, which the stop then drops.
        bool nextCallPosted = false;
    } rows[] = {
        {"resolve"},
        {"download"},
        {"recheck"},
        {"recheck", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.held) + (row.nextCallPosted ? ", let go" : ""));
        Harness h;
        ASSERT_TRUE(h.runUntilHeld(row.held));
        if (row.nextCallPosted) {
            h.hold(row.held, false);
            std::unique_lock lock(h.mutex);
            ASSERT_TRUE(h.changed.wait_for(lock, 20s, [&] { return !h.tasks.empty(); }));
        }
        const std::size_t before = h.shown.size();
        h.delegate->action();
        ASSERT_TRUE(h.pumpUntilIdle());
        EXPECT_EQ(h.shown.substr(before), "disabled; cancelled; ");
        EXPECT_FALSE(h.reached.contains("install"));
    }
}

// At most one report per 100 ms, the latest held back shown when its interval ends; late
// reports of a run stopped before are never shown.
TEST(AppRun, ProgressIsThrottledAndOnlyTheCurrentRunsIsShown) {
    Harness h;
    ASSERT_TRUE(h.runUntilHeld("download"));
    const transfer::ProgressCallback stopped = h.progress;
    h.delegate->action();
    ASSERT_TRUE(h.pumpUntilIdle());
    ASSERT_TRUE(h.runUntilHeld("download"));
    const std::size_t before = h.shown.size();
    const auto start = h.system.clock;
    const struct {
        int ms;
        const transfer::ProgressCallback* from;
        std::int64_t written;
        const char* shown;
    } steps[] = {
        {0, &h.progress, 100, "100"},  {30, &h.progress, 200, "100"},
        {60, &h.progress, 300, "100"}, {99, nullptr, 0, "100"},
        {100, nullptr, 0, "300"},      {130, &h.progress, 400, "300"},
        {200, nullptr, 0, "400"},      {250, &stopped, 700, "400"},
        {300, nullptr, 0, "400"},      {320, &h.progress, 800, "800"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.ms);
        h.system.clock = start + std::chrono::milliseconds(step.ms);
        if (step.from)
            (*step.from)(step.written, -1);
        h.pumpUntil([] { return false; }, 20ms);
        EXPECT_EQ(describe(h.current), "downloading " + std::string(step.shown) + "/1000");
    }
    h.hold("recheck");
    h.system.clock = start + 340ms;
    h.hold("download", false); // the last report at once, though it comes within 100 ms
    ASSERT_TRUE(h.pumpUntil([&] { return describe(h.current) == "verifying"; }));
    h.progress(1000, -1); // after verifying began, it changes nothing
    h.pumpUntil([] { return false; }, 20ms);
    EXPECT_EQ(h.shown.substr(before), "downloading 100/1000; downloading 300/1000; "
                                      "downloading 400/1000; downloading 800/1000; "
                                      "downloading 1000/1000; verifying; ");
}

// A real transfer whose server sends a burst and then stalls: the card comes to show the
// whole burst within the two throttles' intervals, not what arrived before the stall.
TEST(AppRun, TheCardShowsABurstThatAStallFollows) {
    Harness h;
    ASSERT_TRUE(h.runUntilHeld("download"));
    const TestCA ca = makeTestCA(h.temp / "ca");
    FaultServer server(ca.certFile, ca.keyFile, randomContent(3'500'000, 9));
    release::Settings settings;
    settings.downloadHosts = {"localhost"};
    transfer::Download download(
        settings, h.temp / "burst.dmg", h.progress,
        {ca.caFile.string(), {"localhost:443:127.0.0.1:" + std::to_string(server.port())}});
    download.start("https://localhost/burst", [](const transfer::DownloadResult&) {});
    const auto written = [&] { return std::get<ui::Downloading>(h.current).written; };
    // The card's clock moves 10 ms a turn; the transfer's is the real one.
    EXPECT_TRUE(h.pumpUntil([&] {
        h.system.clock += 10ms;
        return written() == 3'000'000;
    }));
    EXPECT_EQ(written(), 3'000'000);
}

TEST(AppRun, QuittingAndClosingAreRefusedOnlyWhileInstallingAndTheCompleteCardCloses) {
    Harness h;
    ASSERT_TRUE(h.runUntilHeld("install"));
    auto& app = *h.delegate;
    const std::size_t before = h.shown.size();
    EXPECT_FALSE(app.windowShouldClose());
    app.close();
    app.action(); // the button is hidden; a press that still arrives does nothing
    h.hold("install", false);
    ASSERT_TRUE(h.pumpUntilIdle());
    EXPECT_TRUE(app.windowShouldClose());
    app.action();
    EXPECT_EQ(h.shown.substr(before), "installing 安装完成，正在确认启动…; complete; closed; ");
}

} // namespace
} // namespace installer::testing
