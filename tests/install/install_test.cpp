// The install transaction against the emulated macOS tools, stage by stage. Every
// case checks the files on disk afterwards: the installed application must survive
// every failure, and the image must be detached whenever its mount point was known.

#include "install_fixture.h"

#include <gtest/gtest.h>

#include "trust/crypto.h"

#include <set>
#include <sys/stat.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto toolFailed = "安装操作失败，请检查权限后重试";
constexpr auto unconfirmed =
    "新版本启动未确认。旧程序已保留，请关闭网盘后使用安装器修复；不会自动降级用户数据。";

class Install : public ::testing::Test {
protected:
    InstallSandbox box;

    // The earlier release is at the target, untouched, and nothing is left beside it.
    void expectUntouched(const char* version = "1.0.0") {
        EXPECT_EQ(box.versionAtTarget(), version);
        EXPECT_TRUE(box.sealed(box.target));
        EXPECT_TRUE(box.hiddenEntries().empty()) << ::testing::PrintToString(box.hiddenEntries());
    }
};

TEST_F(Install, AnUpdateSwapsLaunchesAndConfirms) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.versionAtTarget(), "1.1.0");
    EXPECT_TRUE(box.sealed(box.target));
    EXPECT_TRUE(box.hiddenEntries().empty());
    EXPECT_TRUE(box.allDetached());
    EXPECT_EQ(box.statuses, (std::vector<std::string>{"正在安装…", "安装完成，正在确认启动…",
                                                      "更新已完成"}));
    EXPECT_EQ(box.ready, "");  // only update mode announces itself
    // The new app was started with the transaction id; its health file was read and deleted.
    const auto launches = box.count("open " + box.target.string() + " --args --installer-transaction=");
    EXPECT_EQ(launches, 1);
    const auto healthDir = box.home / "Library/Application Support/AI澄翎网盘测试版/update-health";
    EXPECT_TRUE(fs::is_empty(healthDir));
}

TEST_F(Install, AFirstInstallationNeedsNoPreviousCopy) {
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.versionAtTarget(), "1.1.0");
    EXPECT_TRUE(box.hiddenEntries().empty());
    EXPECT_TRUE(box.allDetached());
}

TEST_F(Install, UpdateModeAnnouncesReadyAndWaitsForTheAppToExit) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    int probes = 0;
    box.system.processProbe = [&](int pid) {
        EXPECT_EQ(pid, 4242);
        return ++probes < 5;  // exits after half a second
    };
    EXPECT_EQ(box.install(box.release(), 4242), "ok");
    EXPECT_EQ(box.ready, "READY\n");
    EXPECT_EQ(probes, 5);
    EXPECT_EQ(box.versionAtTarget(), "1.1.0");
}

TEST_F(Install, AnAppThatNeverExitsCancelsTheUpdate) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    box.system.processProbe = [](int) { return true; };
    const auto started = box.system.clock;
    EXPECT_EQ(box.install(box.release(), 4242), "原应用未退出，取消更新");
    EXPECT_EQ(box.ready, "READY\n");
    EXPECT_GE(box.system.clock - started, 45s);
    EXPECT_LT(box.system.clock - started, 46s);
    expectUntouched();
    EXPECT_TRUE(box.allDetached());
}

TEST_F(Install, TheTargetMustBeAPlainAppPath) {
    fs::create_directories(box.root / "real" / "deep");
    fs::create_directory_symlink(box.root / "real" / "deep", box.root / "linked");
    const auto release = box.release();
    for (const fs::path& target : {box.apps / "AI.APP", box.apps / "AI", box.apps / ".app",
                                  box.root / "linked" / "AI.app", fs::path("/AI.app"),
                                  box.root / "linked" / ".." / "Applications" / "AI.app"}) {
        box.target = target;
        EXPECT_EQ(box.install(release), "安装目录无效") << target;
    }
    EXPECT_EQ(box.log().size(), 0u);  // refused before any tool ran
}

TEST_F(Install, TheInstalledVersionMustBeOlder) {
    const struct {
        ReleaseRecipe installed, offered;
        const char* expected;
    } cases[] = {
        {{.version = "1.2.3", .build = "10"}, {.version = "1.2.3", .build = "11"}, "ok"},
        {{.version = "1.2.3", .build = "11"}, {.version = "1.2.3", .build = "11"}, "已安装相同或更新版本"},
        {{.version = "1.3.0", .build = "5"}, {.version = "1.2.9", .build = "99"}, "已安装相同或更新版本"},
        {{.version = "1.2", .build = "5"}, {.version = "1.2.9", .build = "99"}, "版本格式无效"},
        {{.version = "1.0.0", .build = "5", .identifier = "com.other.app"},
         {.version = "1.2.9", .build = "99"}, "目标不是澄翎网盘应用"},
    };
    for (const auto& c : cases) {
        fs::remove_all(box.target);
        box.installAtTarget(c.installed);
        const Release offered = box.release(c.offered);
        EXPECT_EQ(box.install(offered.image, manifestFor(offered, c.offered)), c.expected)
            << c.installed.version << " -> " << c.offered.version;
        EXPECT_TRUE(box.allDetached());
    }
}

TEST_F(Install, EveryImageFaultIsRefusedAndTheImageDetached) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    const Release good = box.release();
    const fs::path made = box.root / "images";
    const auto withPackage = [&](const fs::path& file) {
        release::Manifest manifest = manifestFor(good);
        const std::string bytes = readText(file);
        manifest.package.sizeBytes = static_cast<std::int64_t>(bytes.size());
        trust::Sha256 hasher;
        hasher.update(bytes.data(), bytes.size());
        const auto digest = hasher.finish();
        manifest.package.sha256 =
            trust::hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 32));
        return manifest;
    };
    const auto copyApp = [&](const fs::path& folder, const std::string& name) {
        fs::copy(good.bundle, folder / name,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    };
    const struct {
        const char* what;
        std::function<void(const fs::path&)> fill;
        const char* expected;
    } cases[] = {
        {"no bundle", [&](const fs::path& f) { writeFile(f / "README", "x"); }, "安装包内容无效"},
        {"two bundles",
         [&](const fs::path& f) {
             copyApp(f, "A.app");
             copyApp(f, "B.app");
         },
         "安装包内容无效"},
        {"a link out of the image",
         [&](const fs::path& f) { fs::create_directory_symlink(good.bundle, f / "A.app"); },
         "应用路径无效"},
        {"another application",
         [&](const fs::path& f) {
             copyApp(f, "A.app");
             const auto plist = f / "A.app/Contents/Info.plist";
             std::string text = readText(plist);
             text.replace(text.find("com.tavelo.desktop.sit"), 22, "com.tavelo.desktop.xyz");
             writeFile(plist, text);
         },
         "目标不是澄翎网盘应用"},
        {"no executable",
         [&](const fs::path& f) {
             copyApp(f, "A.app");
             fs::remove_all(f / "A.app/Contents/MacOS");
         },
         "应用入口无效"},
        {"a changed file breaks the seal",
         [&](const fs::path& f) {
             copyApp(f, "A.app");
             writeFile(f / "A.app/Contents/Resources/version.txt", "changed");
         },
         toolFailed},
    };
    for (const auto& c : cases) {
        const fs::path folder = made / c.what;
        fs::create_directories(folder);
        c.fill(folder);
        const fs::path file = made / (std::string(c.what) + ".dmg");
        makeImage(folder, file);
        EXPECT_EQ(box.install(file, withPackage(file)), c.expected) << c.what;
        EXPECT_TRUE(box.allDetached()) << c.what;
        expectUntouched();
    }
}

TEST_F(Install, TheBundleMustMatchTheManifest) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    const struct {
        ReleaseRecipe made;
        std::function<void(release::Manifest&)> change;
        const char* expected;
    } cases[] = {
        {{.archs = "arm64"}, [](release::Manifest&) {}, "应用架构不匹配"},
        {{.archs = "x86_64 arm64"}, [](release::Manifest&) {}, "ok"},
        {{.archs = "x86_64 arm64"}, [](release::Manifest& m) { m.arch = "arm64"; }, "ok"},
        {{.archs = "x86_64"}, [](release::Manifest& m) { m.arch = "arm64"; }, "应用架构不匹配"},
        {{.version = "1.1.0", .build = "111"},
         [](release::Manifest& m) { m.appVersion = "1.1.0"; m.buildNumber = 110; },
         "应用版本与发布清单不符"},
        {{.version = "1.1.00", .build = "110"},
         [](release::Manifest& m) { m.appVersion = "1.1.0"; }, "应用版本与发布清单不符"},
        {{.seal = false}, [](release::Manifest&) {}, toolFailed},
    };
    for (const auto& c : cases) {
        fs::remove_all(box.target);
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        const Release offered = box.release(c.made);
        release::Manifest manifest = manifestFor(offered, c.made);
        c.change(manifest);
        EXPECT_EQ(box.install(offered.image, manifest), c.expected) << c.made.archs << c.made.version;
        EXPECT_TRUE(box.allDetached());
        EXPECT_TRUE(box.hiddenEntries().empty());
    }
}

TEST_F(Install, APackageThatChangedSinceItWasVerifiedIsNotMounted) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    const Release good = box.release();
    release::Manifest manifest = manifestFor(good);
    manifest.package.sizeBytes += 1;
    EXPECT_EQ(box.install(good.image, manifest), "安装包大小无效");
    manifest = manifestFor(good);
    manifest.package.sha256[0] = manifest.package.sha256[0] == 'a' ? 'b' : 'a';
    EXPECT_EQ(box.install(good.image, manifest), "安装包校验失败");
    EXPECT_EQ(box.count("hdiutil attach"), 0);
    expectUntouched();
}

TEST_F(Install, AMountWithoutAMountPointIsRefusedWithoutDetaching) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    const struct {
        const char* output;
        const char* expected;
    } cases[] = {
        {"not a property list", "无法读取属性列表：数据格式无效"},
        {"<plist version=\"1.0\"><array/></plist>", "无法挂载安装包"},
        {"<plist version=\"1.0\"><dict><key>system-entities</key><dict/></dict></plist>",
         "无法挂载安装包"},
        {"<plist version=\"1.0\"><dict><key>system-entities</key><array><dict/><string>x</string>"
         "</array></dict></plist>",
         "无法挂载安装包"},
        {"<plist version=\"1.0\"><dict><key>system-entities</key><array><dict><key>mount-point"
         "</key><integer>1</integer></dict></array></dict></plist>",
         "无法挂载安装包"},
    };
    for (const auto& c : cases) {
        box.overrideTool("hdiutil", std::string("[[ $1 == attach ]] && { cat <<'PLIST'\n") +
                                        c.output + "\nPLIST\nexit 0; }\nexec \"$real\" \"$@\"\n");
        EXPECT_EQ(box.install(box.release()), c.expected) << c.output;
    }
    EXPECT_EQ(box.count("hdiutil detach"), 0);
    expectUntouched();
}

TEST_F(Install, TheFirstStringMountPointIsUsed) {
    // The emulated tool lists three entities and only the third has a mount point.
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.count("hdiutil detach"), 1);
    EXPECT_TRUE(box.allDetached());
}

TEST_F(Install, ToolFailuresLeaveTheInstalledApplication) {
    const struct {
        const char* key;
        bool detaches;
    } cases[] = {
        {"hdiutil-attach", false}, {"lipo", true}, {"codesign-verify", true}, {"ditto", true},
        {"ditto-partial", true},
    };
    for (const auto& c : cases) {
        fs::remove_all(box.target);
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        const int before = box.count("hdiutil detach");
        box.failOnce(c.key);
        EXPECT_EQ(box.install(box.release()), toolFailed) << c.key;
        expectUntouched();  // a partial staging copy is removed too
        EXPECT_EQ(box.count("hdiutil detach") - before, c.detaches ? 1 : 0) << c.key;
    }
}

TEST_F(Install, ARefusedCopyIsRemovedAndTheTargetKept) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    // Accept the image's bundle, refuse the staging copy beside the target.
    box.overrideTool("codesign", "[[ $4 == */.tavelo-new-* ]] && exit 1\nexec \"$real\" \"$@\"\n");
    EXPECT_EQ(box.install(box.release()), toolFailed);
    expectUntouched();
    EXPECT_TRUE(box.allDetached());
}

TEST_F(Install, AFolderWithoutWritePermissionIsRefusedBeforeAnyCopy) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    box.files.writable = false;
    EXPECT_EQ(box.install(box.release()),
              "没有安装目录写权限，请授权或选择用户 Applications 目录");
    expectUntouched();
    EXPECT_EQ(box.count("ditto"), 0);
    EXPECT_TRUE(box.allDetached());
}

TEST_F(Install, FailedMovesPutTheInstalledApplicationBack) {
    for (const int failing : {1, 2}) {
        fs::remove_all(box.target);
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        box.files.moves = 0;
        box.files.failingMoves = {failing};
        const auto outcome = box.install(box.release());
        EXPECT_EQ(outcome, "injected failure of move " + std::to_string(failing));
        expectUntouched();
        EXPECT_TRUE(box.allDetached());
        EXPECT_EQ(box.count("open"), 0);
    }
}

TEST_F(Install, AFailedLaunchRollsBack) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    box.failOnce("open");
    EXPECT_EQ(box.install(box.release()), toolFailed);
    expectUntouched();
    EXPECT_TRUE(box.allDetached());

    // A first installation has nothing to go back to: the new bundle stays.
    fs::remove_all(box.target);
    box.failOnce("open");
    EXPECT_EQ(box.install(box.release()), toolFailed);
    EXPECT_EQ(box.versionAtTarget(), "1.1.0");
    EXPECT_TRUE(box.hiddenEntries().empty());
}

TEST_F(Install, AnUnconfirmedStartKeepsBothCopies) {
    for (const char* mode : {"none", "not-ready", "wrong-version"}) {
        for (const auto& hidden : box.hiddenEntries())
            fs::remove_all(box.apps / hidden);
        fs::remove_all(box.target);
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        box.healthMode(mode);
        const auto started = box.system.clock;
        EXPECT_EQ(box.install(box.release()), unconfirmed) << mode;
        EXPECT_GE(box.system.clock - started, 60s);
        EXPECT_EQ(box.versionAtTarget(), "1.1.0") << mode;
        const auto hidden = box.hiddenEntries();
        ASSERT_EQ(hidden.size(), 1u) << mode;
        EXPECT_EQ(hidden[0].rfind(".tavelo-previous-", 0), 0u);
        EXPECT_EQ(bundleShortVersion(box.apps / hidden[0]), "1.0.0");
        EXPECT_TRUE(box.sealed(box.apps / hidden[0]));
        EXPECT_TRUE(box.allDetached());
    }
}

TEST_F(Install, AHealthFileReadHalfWrittenIsReadAgain) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    box.healthMode("late");
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.versionAtTarget(), "1.1.0");
    EXPECT_TRUE(box.hiddenEntries().empty());
}

TEST_F(Install, AFailedDetachChangesNothing) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    box.failOnce("lipo");
    box.failOnce("hdiutil-detach");
    EXPECT_EQ(box.install(box.release()), toolFailed);
    box.failOnce("hdiutil-detach");
    EXPECT_EQ(box.install(box.release()), "ok");
    EXPECT_EQ(box.versionAtTarget(), "1.1.0");
}

TEST_F(Install, AGraphicalInstallRefusesWhileTheAppRuns) {
    box.installAtTarget({.version = "1.0.0", .build = "100"});
    box.system.running = {"com.apple.finder", std::string(testAppId)};
    EXPECT_EQ(box.install(box.release()), "请先退出网盘，避免中断传输任务");
    expectUntouched();
    EXPECT_TRUE(box.allDetached());
}

TEST_F(Install, TransactionsNeverShareHiddenNames) {
    std::set<std::string> ids;
    for (int i = 0; i < 2; ++i) {
        fs::remove_all(box.target);
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        box.healthMode("none");
        EXPECT_EQ(box.install(box.release()), unconfirmed);
    }
    // Both previous copies stayed, under different names.
    const auto hidden = box.hiddenEntries();
    EXPECT_EQ(hidden.size(), 2u);
    for (const auto& name : hidden)
        ids.insert(name.substr(std::string(".tavelo-previous-").size(), 36));
    EXPECT_EQ(ids.size(), 2u);
    // The id in the name is the one the app was launched with.
    for (const auto& id : ids)
        EXPECT_EQ(box.count("open " + box.target.string() + " --args --installer-transaction=" + id), 1);
}

} // namespace
} // namespace installer::testing
