// The install transaction on the emulated macOS tools: the installed app survives every failure.

#include "install/transaction_id.h"
#include "install/transaction_record.h"
#include "install_fixture.h"

#include <gtest/gtest.h>
#include <mutex>
#include <regex>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr auto toolFailed = "安装操作失败，请检查权限后重试";
constexpr auto unconfirmed =
    "新版本启动未确认。旧程序已保留，请关闭网盘后使用安装器修复；不会自动降级用户数据。";
const ReleaseRecipe old{.version = "1.0.0", .build = "100"};

class Install : public ::testing::Test {
protected:
    InstallSandbox box;
};

TEST_F(Install, AnUpdateSwapsLaunchesAndConfirms) {
    // A rebuild of the installed version is newer; a universal app has the Mac's processor.
    box.installAtTarget({.version = "1.1.0", .build = "100"});
    const ReleaseRecipe universal{.archs = "x86_64 arm64"};
    release::Manifest manifest = manifestFor(box.release(universal));
    manifest.arch = "arm64";
    std::string statuses;
    box.onStatus = [&](const std::string& text) { statuses += text + "|"; };
    EXPECT_EQ(box.install(box.release(universal), {}, manifest), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0");
    EXPECT_TRUE(box.sealed(box.target));
    EXPECT_EQ(box.count(""), 7); // no tool of recovery: there was nothing to recover
    EXPECT_EQ(statuses, "正在安装…|安装完成，正在确认启动…|更新已完成|");
    EXPECT_EQ(box.ready, ""); // only update mode announces itself
    EXPECT_TRUE(fs::is_empty(box.appSupport / "update-health"));
}

TEST_F(Install, UpdateModeAnnouncesReadyAndGivesUpOnAnAppThatDoesNotExit) {
    box.installAtTarget(old);
    box.system.processProbe = [](int pid) { return pid == 4242; };
    const auto started = box.system.clock;
    EXPECT_EQ(box.install(box.release(), 4242), "原应用未退出，取消更新");
    EXPECT_EQ(box.ready, "READY\n");
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(box.system.clock - started), 45s);
    EXPECT_EQ(box.leftBehind(), "1.0.0");
}

TEST_F(Install, TheTargetMustBeAPlainAppPath) {
    fs::create_directories(box.root / "real" / "deep");
    fs::create_directory_symlink(box.root / "real" / "deep", box.root / "linked");
    for (const fs::path& target :
         {box.apps / "AI.APP", box.apps / "AI", box.apps / ".app", box.root / "linked" / "AI.app",
          fs::path("/AI.app"), box.root / "linked" / ".." / "Applications" / "AI.app"}) {
        box.target = target;
        EXPECT_EQ(box.install(box.release()), "安装目录无效") << target;
    }
    EXPECT_EQ(box.count(""), 0); // refused before any tool ran
}

// A refused or failed update of 1.0.0: what the user reads, and the detaches and copies made.
TEST_F(Install, AFailureLeavesTheInstalledApplication) {
    Release offered; // its manifest names 1.1.0 build 110, and its package
    const auto image = [&](const std::function<void(const fs::path&)>& fill) {
        const fs::path folder = box.root / "image";
        fs::remove_all(folder);
        fs::create_directories(folder);
        fill(folder);
        offered.image = folder.string() + ".dmg";
        offered.package = makeImage(folder, offered.image);
    };
    const auto copyApp = [&](const fs::path& to) {
        fs::copy(box.release().bundle, to, fs::copy_options::recursive);
        return to;
    };
    const struct {
        const char* fault;
        std::function<void()> arrange;
        std::string message;
        int detaches, copies;
        std::string left = "1.0.0";
    } cases[] = {
        {"another application at the target",
         [&] { box.installAtTarget({.version = "1.0.0", .identifier = "com.other"}); },
         "目标不是澄翎网盘应用", 0, 0},
        {"a changed package", // not even mounted
         [&] { offered.package.sha256[0] = offered.package.sha256[0] == 'a' ? 'b' : 'a'; },
         "安装包校验失败", 0, 0},
        {"another processor", [&] { offered = box.release({.archs = "arm64"}); }, "应用架构不匹配",
         1, 0},
        {"another build", [&] { offered = box.release({.build = "111"}); },
         "应用版本与发布清单不符", 1, 0},
        {"another version text", [&] { offered = box.release({.version = "1.1.00"}); },
         "应用版本与发布清单不符", 1, 0},
        {"an unsealed bundle", [&] { offered = box.release({.seal = false}); }, toolFailed, 1, 0},
        {"two bundles",
         [&] {
             image([&](auto f) {
                 copyApp(f / "A.app");
                 copyApp(f / "B.app");
             });
         },
         "安装包内容无效", 1, 0},
        {"a link out of the image",
         [&] {
             image(
                 [&](auto f) { fs::create_directory_symlink(box.release().bundle, f / "A.app"); });
         },
         "应用路径无效", 1, 0},
        {"no executable",
         [&] { image([&](auto f) { fs::remove_all(copyApp(f / "A.app") / "Contents/MacOS"); }); },
         "应用入口无效", 1, 0},
        {"mounting", [&] { writeFile(box.control / "fail-hdiutil-attach", ""); }, toolFailed, 0, 0},
        {"a mount output naming no mount point", // so there is nothing to detach
         [&] {
             box.overrideTool("hdiutil",
                              "[[ $1 == attach ]] || exec \"$real\" \"$@\"\n"
                              "echo '<plist><dict><key>system-entities</key><array><dict>"
                              "<key>mount-point</key><integer>1</integer></dict></array>"
                              "</dict></plist>'\n");
         },
         "无法挂载安装包", 0, 0},
        {"the app runs",
         [&] {
             box.system.running = {"com.apple.finder", std::string(testAppId)};
         },
         "请先退出网盘，避免中断传输任务", 1, 0},
        {"no write permission", [&] { box.files.writable = false; },
         "没有安装目录写权限，请授权或选择用户 Applications 目录", 1, 0},
        {"copying half-way", [&] { writeFile(box.control / "fail-ditto-partial", ""); }, toolFailed,
         1, 1},
        {"checking the copy", // the image's bundle passes, the copy beside the target not
         [&] {
             box.overrideTool("codesign",
                              "[[ $4 == */.tavelo-new-* ]] && exit 1\nexec \"$real\" \"$@\"\n");
         },
         toolFailed, 1, 1},
        {"moving the installed app aside", [&] { box.files.failingMoves = {1}; },
         "injected failure of move 1", 1, 1},
        {"moving the new app in", [&] { box.files.failingMoves = {2}; },
         "injected failure of move 2", 1, 1},
        {"launching", [&] { writeFile(box.control / "fail-open", ""); }, toolFailed, 1, 1},
        // Last, as the image stays attached. Its detach's failure is not the outcome, and
        // the record stays for the next run to detach it.
        {"reading architectures, then detaching",
         [&] {
             writeFile(box.control / "fail-lipo", "");
             writeFile(box.control / "fail-hdiutil-detach", "");
         },
         toolFailed, 1, 0, "1.0.0, record, image attached"},
    };
    for (const auto& c : cases) {
        for (const char* tool : {"hdiutil", "codesign"}) // as a row before may have replaced it
            box.overrideTool(tool, "exec \"$real\" \"$@\"\n");
        box.installAtTarget(old);
        box.files = {};
        box.system.running = {};
        offered = box.release();
        c.arrange();
        const int detaches = box.count("hdiutil detach"), copies = box.count("ditto");
        EXPECT_EQ(box.install(offered), c.message) << c.fault;
        EXPECT_EQ(box.leftBehind(), c.left) << c.fault;
        EXPECT_TRUE(box.sealed(box.target)) << c.fault;
        EXPECT_EQ(box.count("hdiutil detach") - detaches, c.detaches) << c.fault;
        EXPECT_EQ(box.count("ditto") - copies, c.copies) << c.fault;
    }
}

TEST_F(Install, TheSameReleaseRepairsAnUnconfirmedStart) {
    box.installAtTarget(old);
    ::setenv("SAMPLE_APP_HEALTH", "none", 1);
    const auto started = box.system.clock;
    EXPECT_EQ(box.install(box.release()), unconfirmed);
    EXPECT_GE(box.system.clock - started, 60s);
    EXPECT_EQ(box.leftBehind(), "1.1.0, previous 1.0.0, record");
    EXPECT_EQ(box.install(box.release()), unconfirmed); // a repair that failed as well
    // Each transaction's own id, a random upper-case UUID, names its copy and its start.
    const std::regex previous(R"(\.tavelo-previous-([0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-)"
                              R"([89AB][0-9A-F]{3}-[0-9A-F]{12})\.app)");
    ASSERT_EQ(box.hiddenEntries().size(), 2u);
    for (const auto& name : box.hiddenEntries()) {
        std::smatch id;
        ASSERT_TRUE(std::regex_match(name, id, previous)) << name;
        EXPECT_TRUE(box.sealed(box.apps / name));
        EXPECT_EQ(box.count("open " + box.target.string() +
                            " --args --installer-transaction=" + id[1].str()),
                  1);
    }

    // An older release is no repair, whatever its build; the unconfirmed one is, if late.
    ::setenv("SAMPLE_APP_HEALTH", "late", 1); // not JSON at the first read
    const ReleaseRecipe older{.version = "1.0.5", .build = "999"};
    EXPECT_EQ(box.install(box.release(older), {}, manifestFor(box.release(older), older)),
              "已安装相同或更新版本");
    EXPECT_EQ(box.install(box.release(), 4242), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0"); // every older previous copy gone too

    // A first installation whose launch failed keeps the new bundle, to be repaired too.
    fs::remove_all(box.target);
    writeFile(box.control / "fail-open", "");
    EXPECT_EQ(box.install(box.release()), toolFailed);
    EXPECT_EQ(box.leftBehind(), "1.1.0, record");
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0");
}

// What a power cut during the swap leaves depends on this order: the staging copy is
// stored whole, and the record says the renames begin, before the first rename; each
// rename is stored before anything follows it; and each of those steps empties the
// drive's cache once, not more.
TEST_F(Install, TheSwapIsStoredStepByStepWithOneFlushEach) {
    struct Log {
        std::mutex mutex;
        std::vector<std::string> events;
        void add(std::string event) {
            const std::lock_guard lock(mutex);
            events.push_back(std::move(event));
        }
    } log;
    const auto name = [&](const fs::path& path) {
        const std::string file = path.filename().string();
        return path == box.target                 ? "target"s
               : path == box.apps                 ? "folder"s
               : file.starts_with(".tavelo-new")  ? "staging"s
               : file.starts_with(".tavelo-prev") ? "previous"s
                                                  : "other"s;
    };
    struct Flushes final : platform::DiskSync {
        std::function<void(const fs::path&)> flushed;
        void sync(int fd, platform::SyncDepth depth, const fs::path& path) const override {
            if (depth == platform::SyncDepth::throughDriveCache)
                flushed(path);
            DiskSync::sync(fd, depth, path);
        }
    } disk;
    // A record's own flushes are the journal's business, whatever folder it lives in.
    bool writingRecord = false;
    disk.flushed = [&](const fs::path& path) {
        if (!writingRecord)
            log.add("flush " + name(path));
    };
    struct Files final : platform::FileManager {
        using FileManager::FileManager;
        std::function<void(std::string)> add;
        std::function<std::string(const fs::path&)> name;
        bool* writingRecord = nullptr;
        void move(const fs::path& from, const fs::path& to) const override {
            FileManager::move(from, to);
            add("move " + name(from) + " to " + name(to));
        }
        void writeDurably(const fs::path& path, std::string_view bytes) const override {
            *writingRecord = true;
            FileManager::writeDurably(path, bytes);
            *writingRecord = false;
            const auto record = install::decodeRecord(bytes);
            if (record && record->state == install::TransactionState::swapping)
                add("record swapping");
        }
    } files(disk);
    files.add = [&](std::string event) { log.add(std::move(event)); };
    files.name = name;
    files.writingRecord = &writingRecord;

    box.installAtTarget(old);
    const Release next = box.release();
    install::install(next.image, manifestFor(next), box.target, {}, [](const std::string&) {},
                     {box.tools.string(), box.system, files});
    std::vector<std::string> swap;
    std::copy_if(log.events.begin(), log.events.end(), std::back_inserter(swap),
                 [](const std::string& event) { return !event.ends_with("other"); });
    // Up to the flush of the move in: what follows is the record's end and the sweep.
    const auto movedIn = std::find(swap.begin(), swap.end(), "move staging to target");
    if (movedIn != swap.end() && std::next(movedIn) != swap.end())
        swap.erase(std::next(movedIn, 2), swap.end());
    EXPECT_EQ(swap, (std::vector<std::string>{"flush staging", "record swapping",
                                              "move target to previous", "flush folder",
                                              "move staging to target", "flush folder"}));
    EXPECT_EQ(box.leftBehind(), "1.1.0");
}

// A record missing any member is no record: recovery must not act on half of one.
TEST(TransactionRecords, AreReadWholeOrNotAtAll) {
    install::TransactionRecord record;
    record.id = install::newTransactionID();
    const auto whole = nlohmann::json::parse(install::encodeRecord(record));
    ASSERT_TRUE(install::decodeRecord(whole.dump()));
    for (const auto& member : whole.items()) {
        auto json = whole;
        json.erase(member.key());
        EXPECT_FALSE(install::decodeRecord(json.dump())) << member.key();
    }
}

} // namespace
} // namespace installer::testing
