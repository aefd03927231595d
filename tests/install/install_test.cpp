// The install transaction against the emulated macOS tools. Every case checks the files
// on disk afterwards: the installed application must survive every failure, and the
// image must be detached whenever its mount point was known.

#include "install_fixture.h"

#include <gtest/gtest.h>
#include <regex>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto toolFailed = "安装操作失败，请检查权限后重试";
constexpr auto newerInstalled = "已安装相同或更新版本";
constexpr auto unconfirmed =
    "新版本启动未确认。旧程序已保留，请关闭网盘后使用安装器修复；不会自动降级用户数据。";
const ReleaseRecipe old{.version = "1.0.0", .build = "100"};
using release::Manifest;

class Install : public ::testing::Test {
protected:
    InstallSandbox box;
};

TEST_F(Install, AnUpdateSwapsLaunchesAndConfirms) {
    // A rebuild of the installed version is newer; a universal app has the Mac's processor.
    box.installAtTarget({.version = "1.1.0", .build = "100"});
    const ReleaseRecipe universal{.archs = "x86_64 arm64"};
    Manifest manifest = manifestFor(box.release(universal));
    manifest.arch = "arm64";
    EXPECT_EQ(box.install(box.release(universal).image, manifest), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0");
    EXPECT_TRUE(box.sealed(box.target));
    EXPECT_EQ(box.records(), 0);
    EXPECT_EQ(box.count(""), 7); // no tool of recovery: there was nothing to recover
    EXPECT_EQ(box.statuses,
              (std::vector<std::string>{"正在安装…", "安装完成，正在确认启动…", "更新已完成"}));
    EXPECT_EQ(box.ready, ""); // only update mode announces itself
    // The new app was started with the transaction id; its health file was read and deleted.
    EXPECT_EQ(box.count("open " + box.target.string() + " --args --installer-transaction="), 1);
    EXPECT_TRUE(fs::is_empty(box.appSupport / "update-health"));
}

TEST_F(Install, UpdateModeAnnouncesReadyAndWaitsForTheAppToExit) {
    for (const int lives : {5, 1000}) { // probes until the app has gone
        box.installAtTarget(old);
        int probes = 0;
        box.system.processProbe = [&](int pid) { return pid == 4242 && ++probes < lives; };
        const auto started = box.system.clock;
        EXPECT_EQ(box.install(box.release(), 4242), lives == 5 ? "ok" : "原应用未退出，取消更新");
        EXPECT_EQ(box.ready, "READY\n");
        if (lives == 5) {
            EXPECT_EQ(probes, 5);
            EXPECT_EQ(box.leftBehind(), "1.1.0");
            continue;
        }
        EXPECT_GE(box.system.clock - started, 45s);
        EXPECT_LT(box.system.clock - started, 46s);
        EXPECT_EQ(box.leftBehind(), "1.0.0");
        EXPECT_EQ(box.records(), 0);
    }
}

TEST_F(Install, TheTargetMustBeAPlainAppPath) {
    fs::create_directories(box.root / "real" / "deep");
    fs::create_directory_symlink(box.root / "real" / "deep", box.root / "linked");
    const auto release = box.release();
    for (const fs::path& target :
         {box.apps / "AI.APP", box.apps / "AI", box.apps / ".app", box.root / "linked" / "AI.app",
          fs::path("/AI.app"), box.root / "linked" / ".." / "Applications" / "AI.app"}) {
        box.target = target;
        EXPECT_EQ(box.install(release), "安装目录无效") << target;
    }
    EXPECT_EQ(box.count(""), 0); // refused before any tool ran
}

// A refused or failed update of 1.0.0: what the user reads, what stays on disk and which
// detaches and copies the transaction made.
TEST_F(Install, AFailureLeavesTheInstalledApplication) {
    const auto attachPrints = [&](const std::string& plist) {
        box.overrideTool("hdiutil",
                         "[[ $1 == attach ]] && { cat <<'PLIST'\n<plist version=\"1.0\">" + plist +
                             "</plist>\nPLIST\nexit 0; }\nexec \"$real\" \"$@\"\n");
    };
    const auto copyApp = [&](const fs::path& folder, const char* name) {
        fs::copy(box.release().bundle, folder / name, fs::copy_options::recursive);
    };
    const struct {
        const char* fault;
        std::function<void()> arrange = [] {};
        std::string message;
        int detaches = 1, copies = 0;
        std::string left = "1.0.0";
        ReleaseRecipe offered = {};
        std::function<void(Manifest&)> change = [](Manifest&) {};
        std::function<void(const fs::path&)> image = {}; // the volume instead of the release's
    } cases[] = {
        {.fault = "the same release is installed",
         .arrange = [&] { box.installAtTarget({}); },
         .message = newerInstalled,
         .detaches = 0,
         .left = "1.1.0"},
        {.fault = "a downgrade",
         .arrange = [&] { box.installAtTarget({.version = "1.3.0", .build = "5"}); },
         .message = newerInstalled,
         .detaches = 0,
         .left = "1.3.0",
         .offered = {.version = "1.2.9", .build = "99"}},
        {.fault = "another application at the target",
         .arrange = [&] { box.installAtTarget({.version = "1.0.0", .identifier = "com.other"}); },
         .message = "目标不是澄翎网盘应用",
         .detaches = 0},
        {.fault = "a changed package", // not even mounted
         .message = "安装包校验失败",
         .detaches = 0,
         .change =
             [](Manifest& m) { m.package.sha256[0] = m.package.sha256[0] == 'a' ? 'b' : 'a'; }},
        {.fault = "another processor", .message = "应用架构不匹配", .offered = {.archs = "arm64"}},
        {.fault = "another build",
         .message = "应用版本与发布清单不符",
         .offered = {.build = "111"},
         .change = [](Manifest& m) { m.buildNumber = 110; }},
        {.fault = "another version text",
         .message = "应用版本与发布清单不符",
         .offered = {.version = "1.1.00"},
         .change = [](Manifest& m) { m.appVersion = "1.1.0"; }},
        {.fault = "an unsealed bundle", .message = toolFailed, .offered = {.seal = false}},
        {.fault = "no bundle",
         .message = "安装包内容无效",
         .image = [&](const fs::path& f) { writeFile(f / "README", "x"); }},
        {.fault = "two bundles",
         .message = "安装包内容无效",
         .image =
             [&](const fs::path& f) {
                 copyApp(f, "A.app");
                 copyApp(f, "B.app");
             }},
        {.fault = "a link out of the image",
         .message = "应用路径无效",
         .image =
             [&](const fs::path& f) {
                 fs::create_directory_symlink(box.release().bundle, f / "A.app");
             }},
        {.fault = "no executable",
         .message = "应用入口无效",
         .image =
             [&](const fs::path& f) {
                 copyApp(f, "A.app");
                 fs::remove_all(f / "A.app/Contents/MacOS");
             }},
        {.fault = "mounting",
         .arrange = [&] { box.failOnce("hdiutil-attach"); },
         .message = toolFailed,
         .detaches = 0},
        // The tool's output names no mount point, so there is nothing to detach.
        {.fault = "mount output no property list",
         .arrange = [&] { attachPrints("x"); },
         .message = "无法读取属性列表：数据格式无效",
         .detaches = 0},
        {.fault = "mount output no dictionary",
         .arrange = [&] { attachPrints("<array/>"); },
         .message = "无法挂载安装包",
         .detaches = 0},
        {.fault = "mount entities no array of dictionaries",
         .arrange =
             [&] {
                 attachPrints("<dict><key>system-entities</key><array><dict/><string>x</string></"
                              "array></dict>");
             },
         .message = "无法挂载安装包",
         .detaches = 0},
        {.fault = "mount point no string",
         .arrange =
             [&] {
                 attachPrints("<dict><key>system-entities</key><array><dict><key>mount-point</"
                              "key><integer>1</integer></dict></array></dict>");
             },
         .message = "无法挂载安装包",
         .detaches = 0},
        {.fault = "the app runs",
         .arrange =
             [&] {
                 box.system.running = {"com.apple.finder", std::string(testAppId)};
             },
         .message = "请先退出网盘，避免中断传输任务"},
        {.fault = "no write permission",
         .arrange = [&] { box.files.writable = false; },
         .message = "没有安装目录写权限，请授权或选择用户 Applications 目录"},
        {.fault = "copying half-way",
         .arrange = [&] { box.failOnce("ditto-partial"); },
         .message = toolFailed,
         .copies = 1},
        {.fault = "checking the copy", // the image's bundle passes, the copy beside the target not
         .arrange =
             [&] {
                 box.overrideTool("codesign",
                                  "[[ $4 == */.tavelo-new-* ]] && exit 1\nexec \"$real\" \"$@\"\n");
             },
         .message = toolFailed,
         .copies = 1},
        {.fault = "moving the installed app aside",
         .arrange = [&] { box.files.failingMoves = {1}; },
         .message = "injected failure of move 1",
         .copies = 1},
        {.fault = "moving the new app in",
         .arrange = [&] { box.files.failingMoves = {2}; },
         .message = "injected failure of move 2",
         .copies = 1},
        {.fault = "launching",
         .arrange = [&] { box.failOnce("open"); },
         .message = toolFailed,
         .copies = 1},
        // Last: the image stays attached. Its detach's failure is not the outcome.
        {.fault = "reading architectures, then detaching",
         .arrange =
             [&] {
                 box.failOnce("lipo");
                 box.failOnce("hdiutil-detach");
             },
         .message = toolFailed,
         .left = "1.0.0, image attached"},
    };
    for (const auto& c : cases) {
        for (const char* tool : {"hdiutil", "codesign"}) { // a row before may have replaced it
            fs::remove(box.tools / tool);
            fs::create_symlink(emulatedToolsDir() / tool, box.tools / tool);
        }
        box.installAtTarget(old);
        box.files = {};
        box.system.running = {};
        c.arrange();
        const Release offered = c.image ? box.imageOf(c.fault, c.image) : box.release(c.offered);
        Manifest manifest = manifestFor(offered, c.offered);
        c.change(manifest);
        const int detaches = box.count("hdiutil detach"), copies = box.count("ditto");
        EXPECT_EQ(box.install(offered.image, manifest), c.message) << c.fault;
        // A partial staging copy and a launched copy go too.
        EXPECT_EQ(box.leftBehind(), c.left) << c.fault;
        EXPECT_TRUE(box.sealed(box.target)) << c.fault;
        EXPECT_EQ(box.records(), 0) << c.fault;
        EXPECT_EQ(box.count("hdiutil detach") - detaches, c.detaches) << c.fault;
        EXPECT_EQ(box.count("ditto") - copies, c.copies) << c.fault;
    }
}

TEST_F(Install, TheSameReleaseRepairsAnUnconfirmedStart) {
    box.installAtTarget(old);
    box.healthMode("none");
    const auto started = box.system.clock;
    EXPECT_EQ(box.install(box.release()), unconfirmed);
    EXPECT_GE(box.system.clock - started, 60s);
    // Nothing moved back: the previous copy waits beside the new one.
    EXPECT_EQ(box.leftBehind(), "1.1.0, previous 1.0.0");
    EXPECT_EQ(box.install(box.release()), unconfirmed); // a repair that failed as well
    // Each transaction's own id, a random upper-case UUID, names its copy and the start
    // it made.
    const std::regex previous(R"(\.tavelo-previous-([0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-)"
                              R"([89AB][0-9A-F]{3}-[0-9A-F]{12})\.app)");
    const auto hidden = box.hiddenEntries();
    ASSERT_EQ(hidden.size(), 2u);
    for (const auto& name : hidden) {
        std::smatch id;
        ASSERT_TRUE(std::regex_match(name, id, previous)) << name;
        EXPECT_TRUE(box.sealed(box.apps / name));
        EXPECT_EQ(box.count("open " + box.target.string() +
                            " --args --installer-transaction=" + id[1].str()),
                  1);
    }

    // An older release is no repair; the unconfirmed one is, and it may not confirm at once.
    box.healthMode("late"); // not JSON at the first read
    const ReleaseRecipe older{.version = "1.0.5", .build = "105"};
    EXPECT_EQ(box.install(box.release(older).image, manifestFor(box.release(older), older)),
              newerInstalled);
    EXPECT_EQ(box.check(box.release()), "ok");
    EXPECT_EQ(box.install(box.release(), 4242), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0"); // every older previous copy gone too
    EXPECT_EQ(box.records(), 0);
    // Confirmed now, so the same release is refused again, before any download.
    EXPECT_EQ(box.check(box.release()), newerInstalled);

    // A first installation whose launch failed has nothing to go back to: the new
    // bundle stays, and installing it again is a repair too.
    fs::remove_all(box.target);
    box.failOnce("open");
    EXPECT_EQ(box.install(box.release()), toolFailed);
    EXPECT_EQ(box.leftBehind(), "1.1.0");
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.records(), 0);
}

} // namespace
} // namespace installer::testing
