#include "app/app_delegate.h"
#include "platform/installer_error.h"
#include "support/fake_system.h"
#include "support/temp_dir.h"
#include "transfer/transfer_error.h"
#include "trust/verify_file.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
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

std::exception_ptr transferCancelled() {
    return std::make_exception_ptr(transfer::TransferError(transfer::cancelledCode, "已取消"));
}

// The test's own thread plays the main thread: posted tasks wait until it pumps them,
// delayed ones also until the test's clock has reached their time.
class FakeMainThread final : public app::MainThread {
public:
    explicit FakeMainThread(const platform::System& clock) : clock_(clock) {}

    void post(std::function<void()> task) override {
        const std::lock_guard lock(mutex_);
        tasks_.push_back({std::nullopt, std::move(task)});
        posted_.notify_all();
    }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        const std::lock_guard lock(mutex_);
        tasks_.push_back({clock_.now() + delay, std::move(task)});
    }
    // Runs due tasks until `done` holds; false if it does not within the (real) limit.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        const auto isDue = [&](const Task& t) { return !t.due || *t.due <= clock_.now(); };
        while (!done()) {
            std::unique_lock lock(mutex_);
            // Short waits: what the test waits for may happen on a worker without a post.
            if (!posted_.wait_for(lock, 2ms, [&] { return std::ranges::any_of(tasks_, isDue); })) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return done();
                continue;
            }
            const auto due = std::ranges::find_if(tasks_, isDue);
            auto task = std::move(due->run);
            tasks_.erase(due);
            lock.unlock();
            task();
        }
        return true;
    }
    // Waits, running nothing, until a worker has posted a task.
    bool waitUntilPosted() {
        std::unique_lock lock(mutex_);
        return posted_.wait_for(lock, 20s, [&] { return !tasks_.empty(); });
    }

private:
    struct Task {
        std::optional<platform::Clock::time_point> due;
        std::function<void()> run;
    };
    const platform::System& clock_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> tasks_;
};

// A transfer the test drives: it reports and ends when told to, and a cancel ends it as
// the real one does, also one that comes before the start.
class FakeDownload final : public app::PackageDownload {
public:
    FakeDownload(fs::path destination, transfer::ProgressCallback progress)
        : destination_(std::move(destination)), progress_(std::move(progress)) {}

    void start(const std::string& from, transfer::CompletionCallback completion) override {
        const std::lock_guard lock(mutex_);
        url = from;
        completion_ = std::move(completion);
        if (cancelled_)
            endLocked(transferCancelled());
    }
    void cancel() override {
        const std::lock_guard lock(mutex_);
        cancelled_ = true;
        endLocked(transferCancelled());
    }
    bool started() const {
        const std::lock_guard lock(mutex_);
        return static_cast<bool>(completion_);
    }
    void report(std::int64_t written) { progress_(written, -1); }
    void finish(std::string_view content) {
        writeFile(destination_, content);
        end(destination_);
    }
    void end(transfer::DownloadResult result) {
        const std::lock_guard lock(mutex_);
        endLocked(std::move(result));
    }

    std::string url; // set when started

private:
    void endLocked(transfer::DownloadResult result) {
        if (completion_ && !std::exchange(ended_, true))
            completion_(std::move(result));
    }

    fs::path destination_;
    transfer::ProgressCallback progress_;
    mutable std::mutex mutex_;
    transfer::CompletionCallback completion_;
    bool cancelled_ = false;
    bool ended_ = false;
};

const std::string packageBytes(1000, 'x');

// One delegate in a fresh temp folder, with the window and the services it talks to:
// the window records what it shows; the services answer as scripted, and a step the
// test holds ("resolve", "recheck", "install") waits there until the test releases it
// or, but for the install, the run is stopped. The package check is the real one.
struct Harness final : app::InstallerDisplay, app::InstallServices {
    Harness() {
        system.home = temp / "home";
        fs::create_directories(system.home);
        fs::create_directories(apps);
        config.apiOrigin = "https://localhost";
        config.environment = "sit";
        config.downloadHosts = {"localhost"};
        resolved.releaseId = "rel-1";
        resolved.package.url = "https://localhost/packages/app.dmg";
        resolved.package.sizeBytes = 1000;
        resolved.package.sha256 = "44f8354494a5ba03ba1792a8d3e9c534c47a9181980fde7a3f44b06ef2ae7c7f";
        rechecked = resolved;
        rechecked.releaseId = "rel-1-rechecked";
    }
    ~Harness() {
        // A run held installing is let go so the delegate can wind it down.
        release("install");
        delegate.reset();
    }

    void render(const ui::InstallerPhase& phase) override {
        current = phase;
        shown.push_back(describe(phase));
        actionEnabled = true;
    }
    const ui::InstallerPhase& phase() const override { return current; }
    void disableAction() override { actionEnabled = false; }
    void closeWindow() override { closed = true; }
    // Declined, as the window does, when the run is stopped while it is asked.
    bool confirmUserApplications(std::stop_token stop) override {
        ++questions;
        if (whileAsking)
            whileAsking();
        return acceptUserFolder && !stop.stop_requested();
    }

    transfer::ServiceAddress serviceAddress() override { return {"https://localhost", {}}; }
    release::Manifest resolveRelease(const transfer::ServiceAddress&,
                                     std::stop_token stop) override {
        pass("resolve", stop);
        return resolved;
    }
    release::Manifest recheckRelease(const transfer::ServiceAddress&, const release::Manifest&,
                                     std::stop_token stop) override {
        pass("recheck", stop);
        return rechecked;
    }
    std::shared_ptr<app::PackageDownload>
    makeDownload(fs::path destination, transfer::ProgressCallback progress) override {
        const std::lock_guard lock(mutex);
        return download = std::make_shared<FakeDownload>(destination, progress);
    }
    void verifyFile(const fs::path& file, const release::Package& package) override {
        trust::verifyFile(file, package);
    }
    void checkInstalled(const release::Manifest&, const fs::path&) override { pass("check", {}); }
    void install(const fs::path& package, const release::Manifest& manifest,
                 const fs::path& target, const install::StatusCallback& status) override {
        ++installs;
        installed = {package, target, manifest.releaseId};
        pass("install", {});
        // The transaction's last text must not step the card back from starting.
        for (const char* text : {"安装完成，正在确认启动…", "更新已完成"})
            status(text);
    }

    void pass(const std::string& step, const std::stop_token& stop) {
        std::unique_lock lock(mutex);
        reached.insert(step);
        changed.wait(lock, stop, [&] { return !held.contains(step); });
        // A request cut short by the stop fails as the real one would.
        if (stop.stop_requested())
            throw transfer::TransferError(transfer::cancelledCode, "请求已取消");
        if (errors.contains(step))
            throw InstallerError(errors.at(step));
    }
    void hold(const std::string& step) {
        const std::lock_guard lock(mutex);
        held.insert(step);
    }
    void release(const std::string& step) {
        const std::lock_guard lock(mutex);
        held.erase(step);
        changed.notify_all();
    }
    bool hasReached(const std::string& step) {
        const std::lock_guard lock(mutex);
        return reached.contains(step);
    }

    app::AppDelegate& make() {
        return delegate.emplace(config, app::AppEnvironment{apps, system, files, mainThread, *this},
                                *this);
    }
    void cachePackage(std::string_view content) const {
        fs::create_directories(cache());
        writeFile(cache() / "package.dmg", content);
    }
    bool pumpUntil(const std::function<bool()>& done) { return mainThread.pumpUntil(done); }
    bool pumpUntilShown(const std::string& phase) {
        return pumpUntil([&] { return describe(current) == phase; });
    }
    bool pumpUntilIdle() {
        return pumpUntil([&] { return !delegate->running(); });
    }
    // The transfer a run started, once it is not the one of an earlier run.
    std::shared_ptr<FakeDownload> startedDownload(const std::shared_ptr<FakeDownload>& earlier = {}) {
        std::shared_ptr<FakeDownload> started;
        EXPECT_TRUE(pumpUntil([&] {
            const std::lock_guard lock(mutex);
            started = download != earlier && download && download->started() ? download : nullptr;
            return started != nullptr;
        }));
        return started;
    }
    fs::path cache() const {
        return app::cacheFolder(system.home, config.environment, resolved.package.sha256);
    }

    TempDir temp;
    fs::path apps = temp / "Applications";
    FakeSystem system;
    release::Settings config;
    platform::FileManager files;
    FakeMainThread mainThread{system};
    std::optional<app::AppDelegate> delegate;

    ui::InstallerPhase current = ui::Ready{};
    std::vector<std::string> shown;
    bool actionEnabled = true;
    bool closed = false;
    bool acceptUserFolder = true;
    int questions = 0;
    std::function<void()> whileAsking;

    release::Manifest resolved, rechecked;
    std::map<std::string, std::string> errors; // a step named here fails with the message
    // What the installs were given, read once the run has ended: package, target, release.
    int installs = 0;
    std::tuple<fs::path, fs::path, std::string> installed;
    std::mutex mutex;
    std::condition_variable_any changed;
    std::set<std::string> held, reached;
    std::shared_ptr<FakeDownload> download;
};

std::vector<std::string> operator+(std::vector<std::string> first,
                                   const std::vector<std::string>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

std::vector<std::string> operator+(std::vector<std::string> first, std::string then) {
    first.push_back(std::move(then));
    return first;
}

TEST(AppRun, EachRunShowsItsStepsAndEndsAsTheyDecide) {
    const std::vector<std::string> downloaded = {"checking", "downloading 0/1000",
                                                 "downloading 1000/1000", "verifying"};
    const std::vector<std::string> installed = {"installing 正在安装…",
                                                "installing 安装完成，正在确认启动…", "complete"};
    const std::vector<std::string> cached = {"checking", "verifying"};
    const auto fail = [](const char* step, const char* message) {
        return [=](Harness& h) { h.errors[step] = message; };
    };
    const auto askFirst = [](bool accept, bool quitMeanwhile = false) {
        return [=](Harness& h) {
            fs::remove_all(h.apps); // nobody can write a folder that is not there
            h.cachePackage(packageBytes);
            h.acceptUserFolder = accept;
            if (quitMeanwhile)
                h.whileAsking = [&h] { EXPECT_TRUE(h.delegate->shouldTerminate()); };
        };
    };
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
         none, cached + installed, "Applications/AI澄翎网盘.app"},
        {"corrupt cache", [&](Harness& h) { h.cachePackage(corrupt); }, finishes,
         downloaded + installed, "Applications/AI澄翎网盘测试版.app"},
        {"user folder", askFirst(true), none, cached + installed,
         "home/Applications/AI澄翎网盘测试版.app"},
        {"user folder declined", askFirst(false), none, cached + "cancelled", true},
        {"quit while asking", askFirst(true, true), none, cached + "cancelled", true},
        {"already installed", fail("check", "已安装相同或更新版本"), none,
         {"checking", "failed 已安装相同或更新版本"}, false},
        {"untrusted url",
         [](Harness& h) { h.resolved.package.url = "https://x.example/a"; },
         none,
         {"checking", "failed 下载地址不受信任"},
         false},
        {"transfer fails", [](Harness&) {}, fails,
         {"checking", "downloading 0/1000", "failed 下载失败"}, false},
        {"recheck fails", fail("recheck", "发布版本已变更，请重试"), finishes,
         downloaded + "failed 发布版本已变更，请重试", true},
        {"install fails", fail("install", "安装操作失败，请检查权限后重试"), finishes,
         downloaded + "installing 正在安装…" + "failed 安装操作失败，请检查权限后重试", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        row.arrange(h);
        // Packages of other releases are left alone.
        const fs::path otherDigest = h.cache().parent_path() / std::string(64, 'a');
        fs::create_directories(otherDigest);
        const bool wasCached = fs::exists(h.cache());
        h.make().action();
        if (row.transfer != none) {
            auto download = h.startedDownload();
            EXPECT_EQ(download->url, h.resolved.package.url);
            if (row.transfer == fails) {
                download->end(std::make_exception_ptr(InstallerError("下载失败")));
            } else {
                download->report(1000);
                download->finish(packageBytes);
            }
        }
        ASSERT_TRUE(h.pumpUntilIdle());
        EXPECT_EQ(h.shown, row.shown);
        EXPECT_FALSE(h.delegate->installing());
        EXPECT_TRUE(fs::exists(otherDigest));
        EXPECT_EQ(h.installs, std::ranges::count(row.shown, "installing 正在安装…"));
        // Only the user may read a package being fetched.
        struct stat info {};
        if (!wasCached && ::stat(h.cache().c_str(), &info) == 0) {
            EXPECT_EQ(info.st_mode & 0777, 0700u);
        }
        if (const auto* target = std::get_if<const char*>(&row.installedOrKept)) {
            EXPECT_EQ(h.installed, std::tuple(h.cache() / "package.dmg", h.temp / *target,
                                              "rel-1-rechecked"));
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
        h.hold("recheck");
        h.make().action();
        return h.pumpUntil([&] { return h.hasReached("recheck") && h.shown.back() == "verifying"; });
    };
    // The stop reaches the main thread after the run has asked for its next waited
    // call there, but before that call ran: the call is dropped.
    const auto nextCallPosted = [&](Harness& h) {
        if (!atRecheck(h))
            return false;
        h.release("recheck");
        return h.mainThread.waitUntilPosted();
    };
    const auto atResolve = [](Harness& h) {
        h.hold("resolve");
        h.make().action();
        return h.pumpUntil([&] { return h.hasReached("resolve"); });
    };
    const struct {
        const char* step;
        std::function<bool(Harness&)> reach;
    } rows[] = {
        // The second press arrives before the run has reached its first step.
        {"pressed twice",
         [](Harness& h) {
             h.hold("resolve");
             h.make().action();
             return true;
         }},
        {"resolve", atResolve},
        {"download",
         [](Harness& h) {
             h.make().action();
             h.startedDownload();
             return h.pumpUntilShown("downloading 0/1000");
         }},
        {"recheck", atRecheck},
        {"folder question",
         [&](Harness& h) {
             fs::remove_all(h.apps);
             return nextCallPosted(h);
         }},
        {"entering installing", nextCallPosted},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        Harness h;
        ASSERT_TRUE(row.reach(h));
        const std::size_t before = h.shown.size();
        h.delegate->action();
        EXPECT_FALSE(h.actionEnabled);
        ASSERT_TRUE(h.pumpUntilIdle());
        EXPECT_EQ(std::vector(h.shown.begin() + before, h.shown.end()),
                  std::vector<std::string>{"cancelled"});
        EXPECT_TRUE(h.actionEnabled);
        EXPECT_EQ(h.questions, 0);
        EXPECT_EQ(h.installs, 0);
    }
    // Destroying the delegate mid-run ends the run without it touching the delegate.
    Harness h;
    ASSERT_TRUE(atResolve(h));
    h.delegate.reset();
    EXPECT_FALSE(h.mainThread.pumpUntil([] { return false; }, 50ms));
    EXPECT_EQ(h.shown, std::vector<std::string>{"checking"});
}

// Reports 30 ms apart, each handled before the next, then a stall, then the rest: the
// card shows at most one report per 100 ms, and the latest one held back when its
// interval ends. Reports of a run stopped before are never shown.
TEST(AppRun, ProgressIsThrottledAndOnlyTheCurrentRunsIsShown) {
    Harness h;
    h.hold("recheck");
    auto& app = h.make();
    app.action();
    const auto stopped = h.startedDownload();
    app.action();
    ASSERT_TRUE(h.pumpUntilIdle());
    app.action();
    const auto download = h.startedDownload(stopped);
    ASSERT_TRUE(h.pumpUntilShown("downloading 0/1000"));
    const std::size_t before = h.shown.size();
    const auto start = h.system.clock;
    const struct {
        int ms;
        std::shared_ptr<FakeDownload> from;
        std::int64_t written; // 0: no report
        const char* shown;
    } steps[] = {
        {0, download, 100, "100"},   {30, download, 200, "100"}, {60, download, 300, "100"},
        {99, nullptr, 0, "100"},     {100, nullptr, 0, "300"},   {130, download, 400, "300"},
        {200, stopped, 500, "400"},  {230, download, 1000, "1000"}, {400, stopped, 700, "1000"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.ms);
        h.system.clock = start + std::chrono::milliseconds(step.ms);
        if (step.from)
            step.from->report(step.written);
        h.mainThread.pumpUntil([] { return false; }, 20ms);
        EXPECT_EQ(h.shown.back(), "downloading " + std::string(step.shown) + "/1000");
    }
    download->finish(packageBytes);
    ASSERT_TRUE(h.pumpUntilShown("verifying"));
    download->report(1000); // after verifying began, it changes nothing
    h.mainThread.pumpUntil([] { return false; }, 20ms);
    EXPECT_EQ(std::vector(h.shown.begin() + before, h.shown.end()),
              (std::vector<std::string>{"downloading 100/1000", "downloading 300/1000",
                                        "downloading 400/1000", "downloading 1000/1000",
                                        "verifying"}));
    h.release("recheck");
    ASSERT_TRUE(h.pumpUntilIdle());
    EXPECT_EQ(h.shown.back(), "complete");
}

TEST(AppRun, QuittingAndClosingAreRefusedOnlyWhileInstallingAndTheCompleteCardCloses) {
    Harness h;
    h.hold("install");
    auto& app = h.make();
    // A quit before installing goes ahead: the "quit while asking" row of the run table.
    app.action();
    h.startedDownload()->finish(packageBytes);
    ASSERT_TRUE(h.pumpUntil([&] { return h.hasReached("install"); }));
    EXPECT_TRUE(app.installing());
    EXPECT_FALSE(app.shouldTerminate());
    EXPECT_FALSE(app.windowShouldClose());
    app.close();
    app.action(); // the button is hidden; a press that still arrives does nothing
    EXPECT_FALSE(h.closed);
    EXPECT_TRUE(h.actionEnabled);
    h.release("install");
    ASSERT_TRUE(h.pumpUntilIdle());
    EXPECT_EQ(h.shown.back(), "complete");
    EXPECT_TRUE(app.windowShouldClose());
    app.action();
    EXPECT_TRUE(h.closed);
}

} // namespace
} // namespace installer::testing
