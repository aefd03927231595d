// Update mode end to end, as the installed application drives it: the sample app 1.0.0
// starts the real installer of the test edition for 1.1.0 and exits on READY; the
// installer swaps, starts the new app and waits for its confirmation. Then the same
// transaction killed at every tool it runs.

#include "support/fixtures.h"
#include "support/process.h"
#include "support/release_maker.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class UpdateMode : public ::testing::Test {
protected:
    TempDir root;
    fs::path apps = root / "Applications", home = root / "home", control = root / "control",
             tmp = root / "tmp";
    fs::path target = apps / (std::string(testAppName) + ".app");
    fs::path support = home / "Library/Application Support" / testAppName;
    std::map<std::string, std::string> environment = {{"HOME", home.string()},
                                                      {"TMPDIR", tmp.string()},
                                                      {"EMULATED_TOOLS_CONTROL", control.string()},
                                                      {"SAMPLE_APP_HEALTH", "ready"}};
    Release oldRelease, newRelease;
    std::string manifest;

    void SetUp() override {
        for (const auto& dir : {apps, home, control, tmp})
            fs::create_directories(dir);
        // Orphaned descendants (the installer after the app exits, the app it starts)
        // become our children, so their exit status can be read and nothing is left.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        oldRelease = makeRelease(root / "r100", {.version = "1.0.0", .build = "100"});
        newRelease = makeRelease(root / "r110", {.version = "1.1.0", .build = "110"});
        fs::copy(oldRelease.bundle, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        auto json = testEditionManifest();
        json["appVersion"] = "1.1.0";
        json["buildNumber"] = 110;
        json["package"]["sizeBytes"] = newRelease.package.sizeBytes;
        json["package"]["sha256"] = newRelease.package.sha256;
        manifest = (root / "manifest.json").string();
        writeFile(manifest, testEditionSigner().envelope(json.dump()));
    }

    void TearDown() override {
        // Reap whatever is left and undo any mount a killed transaction kept.
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        std::error_code error;
        for (const auto& parent : fs::directory_iterator(tmp, error)) {
            std::error_code inner;
            for (const auto& mount : fs::directory_iterator(parent.path(), inner))
                emulatedTool("hdiutil", {"detach", mount.path().string()});
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    std::vector<std::string> hidden() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(apps))
            if (entry.path().filename().string().rfind(".tavelo-", 0) == 0)
                names.push_back(entry.path().filename().string());
        return names;
    }
    std::string toolLog() const { return readText(control / "log"); }
    static bool sealed(const fs::path& bundle) {
        return emulatedTool("codesign", {"--verify", "--deep", "--strict", bundle.string()}) == 0;
    }
    // A process id nobody has: a child that already ended and was reaped.
    static int deadPid() {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(0);
        ::waitpid(pid, nullptr, 0);
        return pid;
    }
    std::vector<std::string> installerArgs(int waitPid) const {
        return {INSTALLER_TEST_BINARY, "--update",  "--manifest", manifest,
                "--wait-pid",          std::to_string(waitPid), "--package",
                newRelease.image.string(), "--target", target.string()};
    }
};

TEST_F(UpdateMode, TheInstalledAppUpdatesItself) {
    const fs::path exe = target / "Contents/MacOS" / testAppName;
    const auto app = runProcess({exe.string(), "--update-with", INSTALLER_TEST_BINARY, manifest,
                                 newRelease.image.string()},
                                environment);
    ASSERT_EQ(app.status, 0) << readText(support / "installer.log");

    const std::string appLog = readText(support / "sample-app.log");
    const auto at = appLog.find("installer ");
    ASSERT_NE(at, std::string::npos) << appLog;
    const int installer = std::stoi(appLog.substr(at + 10));
    EXPECT_EQ(waitForChild(installer, 60s), 0) << readText(support / "installer.log");

    EXPECT_EQ(bundleShortVersion(target), "1.1.0");
    EXPECT_TRUE(sealed(target));
    EXPECT_TRUE(hidden().empty());
    EXPECT_TRUE(fs::is_empty(support / "update-health"));
    EXPECT_EQ(readText(support / "installer.log"), "");  // nothing on standard error
    const std::string log = toolLog();
    EXPECT_NE(log.find("hdiutil detach"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_empty(tmp));
    // The new app ran with the transaction id.
    EXPECT_NE(readText(support / "sample-app.log").find("started 1.1.0 110 --installer-transaction="),
              std::string::npos);
}

TEST_F(UpdateMode, AKillAtAnyToolLeavesAWorkingBundle) {
    // Each moment: the control switch that holds the transaction there, then what
    // releases it when more than one tool run must pass first.
    const struct {
        const char* moment;
        std::vector<std::string> holds;  // block files, each created once the previous is hit
    } moments[] = {
        {"mounting", {"hdiutil-attach"}},
        {"reading architectures", {"lipo"}},
        {"checking the image's signature", {"codesign-verify"}},
        {"copying", {"ditto"}},
        {"checking the copy's signature", {"ditto", "codesign-verify"}},
        {"launching", {"open"}},
        {"detaching after success", {"hdiutil-detach"}},
    };
    int kills = 0;
    for (const auto& m : moments) {
        fs::remove_all(target);
        for (const auto& name : hidden())
            fs::remove_all(apps / name);
        fs::copy(oldRelease.bundle, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        writeFile(control / ("block-" + m.holds.front()), "");
        const int installer = spawnProcess(installerArgs(deadPid()), environment,
                                           (root / "installer.out").string());
        for (std::size_t i = 0; i < m.holds.size(); ++i) {
            const fs::path blocked = control / ("blocked-" + m.holds[i]);
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            while (!fs::exists(blocked) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(5ms);
            ASSERT_TRUE(fs::exists(blocked)) << m.moment << ": never reached " << m.holds[i];
            if (i + 1 < m.holds.size()) {
                writeFile(control / ("block-" + m.holds[i + 1]), "");
                fs::remove(control / ("block-" + m.holds[i]));
                while (fs::exists(blocked))
                    std::this_thread::sleep_for(5ms);
            }
        }
        ::kill(installer, SIGKILL);
        EXPECT_EQ(waitForChild(installer, 10s), 128 + SIGKILL);
        ++kills;
        // The held tool goes on by itself once released, as it would after a real kill.
        fs::remove(control / ("block-" + m.holds.back()));
        while (::waitpid(-1, nullptr, 0) > 0) {
        }

        if (fs::exists(target)) {
            const std::string version = bundleShortVersion(target);
            EXPECT_TRUE(version == "1.0.0" || version == "1.1.0") << m.moment;
            EXPECT_TRUE(sealed(target)) << m.moment;
        } else {
            ADD_FAILURE() << m.moment << ": nothing at the target";
        }
    }
    EXPECT_EQ(kills, 7);
}

} // namespace
} // namespace installer::testing
