// The install transaction against the emulated macOS tools, stage by stage. Every
// case checks the files on disk afterwards: the installed application must survive
// every failure, and the image must be detached whenever its mount point was known.

#include "install_fixture.h"
#include "trust/crypto.h"

#include <gtest/gtest.h>
#include <regex>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto toolFailed = "安装操作失败，请检查权限后重试";
constexpr auto unconfirmed =
    "新版本启动未确认。旧程序已保留，请关闭网盘后使用安装器修复；不会自动降级用户数据。";
const ReleaseRecipe old{.version = "1.0.0", .build = "100"};
using release::Manifest;

class Install : public ::testing::Test {
protected:
    InstallSandbox box;

    // The earlier release is at the target, untouched, and nothing is left beside it.
    void expectUntouched(const std::string& what) {
        EXPECT_EQ(box.versionAtTarget(), "1.0.0") << what;
        EXPECT_TRUE(box.hiddenEntries().empty()) << what;
        EXPECT_TRUE(box.sealed(box.target)) << what;
        EXPECT_EQ(box.records(), 0) << what;
    }
};

TEST_F(Install, AnUpdateSwapsLaunchesAndConfirms) {
    box.installAtTarget(old);
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0");
    EXPECT_TRUE(box.sealed(box.target));
    EXPECT_EQ(box.records(), 0);
    EXPECT_EQ(box.count(""), 7); // no tool of recovery: there was nothing to recover
    EXPECT_EQ(box.statuses,
              (std::vector<std::string>{"正在安装…", "安装完成，正在确认启动…", "更新已完成"}));
    EXPECT_EQ(box.ready, ""); // only update mode announces itself
    // The new app was started with the transaction id; its health file was read and deleted.
    EXPECT_EQ(box.count("open " + box.target.string() + " --args --installer-transaction="), 1);
    EXPECT_TRUE(
        fs::is_empty(box.home / "Library/Application Support" / testAppName / "update-health"));
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
            EXPECT_EQ(box.versionAtTarget(), "1.1.0");
            continue;
        }
        EXPECT_GE(box.system.clock - started, 45s);
        EXPECT_LT(box.system.clock - started, 46s);
        expectUntouched("never exits");
        EXPECT_TRUE(box.allDetached());
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

// A release offered over one at the target, with its manifest changed.
TEST_F(Install, TheOfferMustBeNewerAndMatchItsManifest) {
    const struct {
        ReleaseRecipe installed, offered;
        std::function<void(Manifest&)> change;
        const char* expected;
    } cases[] = {
        {{.version = "1.2.3", .build = "10"}, {.version = "1.2.3", .build = "11"}, {}, "ok"},
        {{.version = "1.2.3", .build = "11"},
         {.version = "1.2.3", .build = "11"},
         {},
         "已安装相同或更新版本"},
        {{.version = "1.3.0", .build = "5"},
         {.version = "1.2.9", .build = "99"},
         {},
         "已安装相同或更新版本"},
        {{.version = "1.2", .build = "5"}, {.version = "1.2.9", .build = "99"}, {}, "版本格式无效"},
        {{.version = "1.0.0", .build = "5", .identifier = "com.other.app"},
         {.version = "1.2.9", .build = "99"},
         {},
         "目标不是澄翎网盘应用"},
        {old, {.archs = "arm64"}, {}, "应用架构不匹配"},
        {old, {.archs = "x86_64 arm64"}, [](Manifest& m) { m.arch = "arm64"; }, "ok"},
        {old, {.archs = "x86_64"}, [](Manifest& m) { m.arch = "arm64"; }, "应用架构不匹配"},
        {old,
         {.version = "1.1.0", .build = "111"},
         [](Manifest& m) { m.buildNumber = 110; },
         "应用版本与发布清单不符"},
        {old,
         {.version = "1.1.00", .build = "110"},
         [](Manifest& m) { m.appVersion = "1.1.0"; },
         "应用版本与发布清单不符"},
        {old, {.seal = false}, {}, toolFailed},
        {old,
         {},
         [](Manifest& m) { m.package.sha256[0] = m.package.sha256[0] == 'a' ? 'b' : 'a'; },
         "安装包校验失败"},
        {old, {.identifier = "com.tavelo.desktop.xyz"}, {}, "目标不是澄翎网盘应用"},
    };
    for (const auto& c : cases) {
        box.installAtTarget(c.installed);
        const Release offered = box.release(c.offered);
        Manifest manifest = manifestFor(offered, c.offered);
        if (c.change)
            c.change(manifest);
        const int attaches = box.count("hdiutil attach");
        EXPECT_EQ(box.install(offered.image, manifest), c.expected)
            << c.installed.version << " -> " << c.offered.version << " " << c.offered.archs;
        EXPECT_EQ(box.leftBehind(),
                  c.expected == std::string("ok") ? c.offered.version : c.installed.version);
        if (std::string(c.expected).rfind("安装包", 0) == 0) { // a changed package is not mounted
            EXPECT_EQ(box.count("hdiutil attach"), attaches);
        }
    }
}

TEST_F(Install, EveryImageFaultIsRefusedAndTheImageDetached) {
    box.installAtTarget(old);
    const Release good = box.release();
    const auto copyApp = [&](const fs::path& folder) {
        fs::copy(good.bundle, folder / "A.app", fs::copy_options::recursive);
    };
    const struct {
        const char* what;
        std::function<void(const fs::path&)> fill;
        const char* expected;
    } cases[] = {
        {"no bundle", [&](const fs::path& f) { writeFile(f / "README", "x"); }, "安装包内容无效"},
        {"two bundles",
         [&](const fs::path& f) {
             copyApp(f);
             fs::copy(good.bundle, f / "B.app", fs::copy_options::recursive);
         },
         "安装包内容无效"},
        {"a link out of the image",
         [&](const fs::path& f) { fs::create_directory_symlink(good.bundle, f / "A.app"); },
         "应用路径无效"},
        {"no executable",
         [&](const fs::path& f) {
             copyApp(f);
             fs::remove_all(f / "A.app/Contents/MacOS");
         },
         "应用入口无效"},
    };
    for (const auto& c : cases) {
        const fs::path folder = box.root / "images" / c.what;
        fs::create_directories(folder);
        c.fill(folder);
        const fs::path file = folder.string() + ".dmg";
        makeImage(folder, file);
        release::Manifest manifest = manifestFor(good);
        const std::string bytes = readText(file);
        manifest.package.sizeBytes = static_cast<std::int64_t>(bytes.size());
        trust::Sha256 hasher;
        hasher.update(bytes.data(), bytes.size());
        const auto digest = hasher.finish();
        manifest.package.sha256 = trust::hex({reinterpret_cast<const char*>(digest.data()), 32});
        EXPECT_EQ(box.install(file, manifest), c.expected) << c.what;
        EXPECT_TRUE(box.allDetached()) << c.what;
        expectUntouched(c.what);
    }
}

// A failure arranged before an update: what detaches and copies it made.
TEST_F(Install, AFailureLeavesTheInstalledApplication) {
    const auto attachPrints = [&](const std::string& plist) {
        box.overrideTool("hdiutil",
                         "[[ $1 == attach ]] && { cat <<'PLIST'\n<plist version=\"1.0\">" + plist +
                             "</plist>\nPLIST\nexit 0; }\nexec \"$real\" \"$@\"\n");
    };
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::string expected;
        int detaches, copies;
    } cases[] = {
        {"mounting", [&] { box.failOnce("hdiutil-attach"); }, toolFailed, 0, 0},
        {"reading architectures", [&] { box.failOnce("lipo"); }, toolFailed, 1, 0},
        {"reading architectures, then detaching", // the detach's failure is not the outcome
         [&] {
             box.failOnce("lipo");
             box.failOnce("hdiutil-detach");
         },
         toolFailed, 1, 0},
        {"checking the image", [&] { box.failOnce("codesign-verify"); }, toolFailed, 1, 0},
        {"the app runs",
         [&] {
             box.system.running = {"com.apple.finder", std::string(testAppId)};
         },
         "请先退出网盘，避免中断传输任务", 1, 0},
        {"copying", [&] { box.failOnce("ditto"); }, toolFailed, 1, 1},
        {"copying half-way", [&] { box.failOnce("ditto-partial"); }, toolFailed, 1, 1},
        {"no write permission", [&] { box.files.writable = false; },
         "没有安装目录写权限，请授权或选择用户 Applications 目录", 1, 0},
        {"moving the installed app aside", [&] { box.files.failingMoves = {1}; },
         "injected failure of move 1", 1, 1},
        {"moving the new app in", [&] { box.files.failingMoves = {2}; },
         "injected failure of move 2", 1, 1},
        {"launching", [&] { box.failOnce("open"); }, toolFailed, 1, 1},
        {"checking the copy", // the image's bundle passes, the copy beside the target not
         [&] {
             box.overrideTool("codesign",
                              "[[ $4 == */.tavelo-new-* ]] && exit 1\nexec \"$real\" \"$@\"\n");
         },
         toolFailed, 1, 1},
        // The tool's output names no mount point, so there is nothing to detach.
        {"mount output no property list", [&] { attachPrints("x"); },
         "无法读取属性列表：数据格式无效", 0, 0},
        {"mount output no dictionary", [&] { attachPrints("<array/>"); }, "无法挂载安装包", 0, 0},
        {"mount entities no array of dictionaries",
         [&] {
             attachPrints(
                 "<dict><key>system-entities</key><array><dict/><string>x</string></array></dict>");
         },
         "无法挂载安装包", 0, 0},
        {"mount point no string",
         [&] {
             attachPrints("<dict><key>system-entities</key><array><dict><key>mount-point</"
                          "key><integer>1</integer></dict></array></dict>");
         },
         "无法挂载安装包", 0, 0},
    };
    for (const auto& c : cases) {
        box.installAtTarget(old);
        box.files = {};
        box.system.running = {};
        c.arrange();
        const int detaches = box.count("hdiutil detach"), copies = box.count("ditto");
        EXPECT_EQ(box.install(box.release()), c.expected) << c.what;
        expectUntouched(c.what); // a partial staging copy and a launched copy go too
        EXPECT_EQ(box.count("hdiutil detach") - detaches, c.detaches) << c.what;
        EXPECT_EQ(box.count("ditto") - copies, c.copies) << c.what;
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
    EXPECT_TRUE(box.sealed(box.apps / box.hiddenEntries().at(0)));
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
        EXPECT_EQ(box.count("open " + box.target.string() +
                            " --args --installer-transaction=" + id[1].str()),
                  1);
    }

    box.healthMode("late"); // not JSON at the first read
    const ReleaseRecipe older{.version = "1.0.5", .build = "105"};
    EXPECT_EQ(box.install(box.release(older).image, manifestFor(box.release(older), older)),
              "已安装相同或更新版本");
    EXPECT_EQ(box.check(box.release()), "ok");
    EXPECT_EQ(box.install(box.release(), 4242), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0"); // every older previous copy gone too
    EXPECT_TRUE(box.sealed(box.target));
    EXPECT_EQ(box.records(), 0);
    // Confirmed now, so the same release is refused again, before any download.
    EXPECT_EQ(box.check(box.release()), "已安装相同或更新版本");

    // A first installation whose launch failed has nothing to go back to: the new
    // bundle stays, and installing it again is a repair too.
    fs::remove_all(box.target);
    box.failOnce("open");
    EXPECT_EQ(box.install(box.release()), toolFailed);
    EXPECT_EQ(box.versionAtTarget(), "1.1.0");
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.leftBehind(), "1.1.0");
    EXPECT_EQ(box.records(), 0);
}

} // namespace
} // namespace installer::testing
