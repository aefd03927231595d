// What the log tells support about a graphical run that failed, while the user still
// reads the very sentence the run always showed.

#include "app/install_run.h"
#include "hosts/hosts.h"
#include "install/install_fixture.h"
#include "install/transaction_id.h"
#include "install/transaction_record.h"
#include "transfer/fault_server.h"

#include <gtest/gtest.h>
#include <mutex>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;

// Every line, as the file would get it.
class RecordingLog final : public platform::EventLog {
public:
    void write(std::string line) const noexcept override {
        const std::lock_guard lock(mutex_);
        text_ += line + "\n";
    }
    std::string text() const {
        const std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::string text_;
};

// The window's side of a run, answered at once on the run's own thread.
class InlineHost final : public app::MainThread, public app::RunHost {
public:
    void post(std::function<void()> task) override { task(); }
    void postAfter(std::chrono::milliseconds, std::function<void()> task) override { task(); }
    std::uint64_t currentRunID() const override { return 1; }
    void render(const ui::InstallerPhase&) override {}
    void showProgress(std::int64_t, std::int64_t) override {}
    void showStatus(const std::string&) override {}
    void beginInstalling() override {}
    bool confirmUserApplications() override { return true; }
    void endRun(const ui::InstallerPhase& phase) override { last = phase; }

    ui::InstallerPhase last;
};

TEST(Diagnostics, EachFailureIsExplainedInTheLogAndTheUserReadsTheSameSentence) {
    InstallSandbox box;
    // The service signs with the real time, and the release is built for this machine.
    box.system.clock = platform::Clock::now();
    box.system.processor = platform::RealSystem().processorName();
    const TestCA ca = makeTestCA(box.root / "ca");
    const Signer signer = testEditionSigner();
    const Release release = box.release();
    const std::string image = readText(release.image);
    const auto offer = [&](const char* path) {
        auto manifest = releaseManifest(release);
        manifest["package"]["url"] = std::string("https://localhost") + path;
        return manifest;
    };

    const struct {
        const char* failure;
        std::function<void(ReleaseServiceHost&)> arrange;
        std::string content; // what the package host sends
        const char* path;    // where the manifest says the package is
        std::string shown;
        std::vector<std::string> logged;
    } rows[] = {
        {"a tool exits 1 with a message on standard error",
         [&](ReleaseServiceHost&) {
             box.overrideTool("codesign", "echo 'AI.app: code object is not signed at all' >&2\n"
                                          "exit 1\n");
         },
         image,
         "/file",
         "安装操作失败，请检查权限后重试",
         {"tool path=" + (box.tools / "codesign").string() + " args=\"--verify --deep --strict",
          "status=1", "stderr=\"AI.app: code object is not signed at all\\n\"",
          "step name=\"validate bundle\" at=end", "result=failed"}},
        {"the manifest is refused by the freshness rule",
         [](ReleaseServiceHost& service) {
             service.steer({{"expiresIn", -5}});
         },
         image,
         "/file",
         "发布清单已过期或不兼容",
         {"detail=\"freshness (expired) rule"}},
        {"the manifest is refused by the channel rule",
         [](ReleaseServiceHost& service) {
             service.steer({{"patch", {{"channel", "beta"}}}});
         },
         image,
         "/file",
         "发布清单已过期或不兼容",
         {"detail=\"channel rule: found \\\"beta\\\"\""}},
        {"the connection drops",
         [](ReleaseServiceHost&) {},
         randomContent(3'000'000, 7),
         "/drop",
         "网络连接已中断：与服务器“localhost”的连接在传输中断开",
         {"download start url=https://localhost/drop resumeFrom=0", "download progress percent=",
          "download end url=https://localhost/drop status=200 resumedFrom=0 bytes=2097152",
          "result=failed curlCode=18 curlText=\"Transferred a partial file\""}},
        {"the service answers a refusal code",
         [](ReleaseServiceHost& service) {
             service.steer(
                 {{"code", 40301}, {"updateAvailable", false}, {"reason", "OS_UNSUPPORTED"}});
         },
         image,
         "/file",
         "当前系统版本不支持该业务版本，请升级系统后重试",
         {"service answer url=", "status=200",
          "detail=\"resolve refused: code 40301, updateAvailable false, reason "
          "\\\"OS_UNSUPPORTED\\\"\""}},
        // 1.1.0 was at the target when a transaction for 1.2.0 died between its renames.
        {"recovery puts back a previous copy",
         [&](ReleaseServiceHost&) {
             install::TransactionRecord dead;
             dead.id = install::newTransactionID();
             dead.target = box.target;
             dead.package = release.image;
             dead.environment = "sit";
             dead.appVersion = "1.2.0";
             dead.buildNumber = 120;
             dead.state = install::TransactionState::swapping;
             dead.finished = true;
             install::TransactionJournal(box.target, box.files).save(dead);
             fs::copy(release.bundle, install::previousCopy(box.target, dead.id),
                      fs::copy_options::recursive | fs::copy_options::copy_symlinks);
         },
         image,
         "/file",
         "已安装相同或更新版本",
         {"recovery records=1", "recovery putBack=" + (box.apps / ".tavelo-previous-").string(),
          " to=" + box.target.string(), "done=yes"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failure);
        for (const auto& entry : fs::directory_iterator(box.apps))
            fs::remove_all(entry.path());
        fs::remove_all(box.home / "Library/Caches"); // a kept package would not be fetched
        ReleaseServiceHost service(ca, signer);
        service.addRelease(offer(row.path));
        FaultServer packageHost(ca.certFile, ca.keyFile, row.content);
        row.arrange(service);
        const release::Settings config{service.origin(),
                                       "sit",
                                       settingsFor(signer).keys,
                                       {"localhost"},
                                       settingsFor(signer).installerVersion};
        const RecordingLog log;
        app::NetworkInstallServices services(
            config, box.system,
            {ca.caFile.string(), {"localhost:443:127.0.0.1:" + std::to_string(packageHost.port())}},
            box.tools.string(), log);
        InlineHost host;
        const auto self = std::make_shared<app::RunHost*>(&host);
        app::runInstall({config, box.system, box.apps, services, box.files,
                         app::RunChannel(host, self, 1), log},
                        {});

        const auto* failed = std::get_if<ui::Failed>(&host.last);
        ASSERT_NE(failed, nullptr) << log.text();
        EXPECT_EQ(failed->message, row.shown);
        const std::string text = log.text();
        EXPECT_NE(text.find("outcome result=failed shown=" + row.shown), std::string::npos) << text;
        for (const auto& expected : row.logged)
            EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
        box.overrideTool("codesign", "exec \"$real\" \"$@\"\n");
    }
}

} // namespace
} // namespace installer::testing
