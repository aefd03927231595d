#include "app/install_run.h"

#include "transfer/transfer_error.h"
#include "trust/trusted_url.h"
#include "trust/verify.h"

#include <future>

namespace installer::app {

namespace fs = std::filesystem;

namespace {

// Thrown at a cancellation check; it only ever becomes the cancelled phase.
struct RunCancelled {};

void checkCancelled(const std::stop_token& stop) {
    if (stop.stop_requested())
        throw RunCancelled{};
}

fs::path bundleName(const release::Settings& config) {
    return std::string(release::editionName(config.environment)) + ".app";
}

// Waits for the transfer. The run owns it, so a stop of the run is what cancels it, even
// a stop that came before the transfer started.
fs::path downloadPackage(PackageDownload& download, const std::string& url,
                         const std::stop_token& stop) {
    auto result = std::make_shared<std::promise<transfer::DownloadResult>>();
    auto finished = result->get_future();
    const std::stop_callback cancelOnStop(stop, [&download] { download.cancel(); });
    download.start(
        url, [result](transfer::DownloadResult outcome) { result->set_value(std::move(outcome)); });
    auto outcome = finished.get();
    if (auto* error = std::get_if<std::exception_ptr>(&outcome))
        std::rethrow_exception(*error);
    return std::get<fs::path>(std::move(outcome));
}

void installRelease(const RunContext& run, const std::stop_token& stop) {
    InstallServices& services = run.services;
    platform::LoggedSteps step(run.log);
    step.begin("resolve release");
    const auto address = services.serviceAddress();
    const release::Manifest resolved = services.resolveRelease(address, stop);
    trust::logRelease(run.log, "release service", resolved);

    const fs::path home = run.system.homeFolder();
    // A release the install would refuse is not downloaded first. The target is the one
    // the run will choose, unless the user declines the question, which ends the run.
    step.begin("check installed release");
    services.checkInstalled(resolved, run.files.isWritable(run.systemApplications)
                                          ? run.systemApplications / bundleName(run.config)
                                          : home / "Applications" / bundleName(run.config));
    const fs::path cache = cacheFolder(home, run.config.environment, resolved.package.sha256);
    run.files.createFolders(cache, 0700);
    const fs::path packageFile = cache / "package.dmg";
    const std::int64_t total = resolved.package.sizeBytes;
    const auto download = services.makeDownload(
        packageFile, [channel = run.channel, total](std::int64_t written, std::int64_t) {
            channel.post([written, total](RunHost& host) { host.showProgress(written, total); });
        });
    const std::string url = trust::trustedURL(resolved.package.url, run.config).text;

    // A cached file that does not verify (missing, partial, another build) is simply
    // downloaded again, so why it failed does not matter.
    step.begin("check cached package");
    const bool cached = [&] {
        try {
            services.verifyFile(packageFile, resolved.package);
            platform::Event(run.log, "cache").with("reused", true);
            return true;
        } catch (...) {
            platform::Event(run.log, "cache").with("reused", false).withError();
            return false;
        }
    }();
    checkCancelled(stop);
    fs::path installFile = packageFile;
    if (!cached) {
        step.begin("download");
        run.channel.post([total](RunHost& host) { host.render(ui::Downloading{0, total}); });
        installFile = downloadPackage(*download, url, stop);
        checkCancelled(stop);
    }

    step.begin("recheck release");
    run.channel.post([](RunHost& host) { host.render(ui::Verifying{}); });
    const release::Manifest manifest = services.recheckRelease(address, resolved, stop);
    trust::logRelease(run.log, "recheck", manifest);

    step.begin("choose target");
    fs::path target = run.systemApplications / bundleName(run.config);
    if (!run.files.isWritable(run.systemApplications)) {
        const auto accepted =
            run.channel.ask([](RunHost& host) { return host.confirmUserApplications(); }, stop);
        if (!accepted.value_or(false))
            throw RunCancelled{};
        const fs::path userApplications = home / "Applications";
        run.files.createFolders(userApplications, 0777);
        target = userApplications / bundleName(run.config);
    }
    platform::Event(run.log, "target").with("path", target.string());
    checkCancelled(stop);

    // Waited for, so that a quit or stop that reaches the window before it is seen at the
    // next check, and none can arrive once the transaction has begun.
    const auto installing = run.channel.ask(
        [](RunHost& host) {
            host.beginInstalling();
            return true;
        },
        stop);
    if (!installing.value_or(false))
        throw RunCancelled{};
    checkCancelled(stop);
    step.begin("install");
    services.install(installFile, manifest, target,
                     [channel = run.channel](const std::string& text) {
                         channel.post([text](RunHost& host) { host.showStatus(text); });
                     });

    step.begin("remove cache");
    std::error_code ignored;
    fs::remove_all(cache, ignored);
}

// A stopped run, a cancelled transfer and a declined question all end as cancelled.
ui::InstallerPhase endingPhase(const std::exception_ptr& error, const std::stop_token& stop) {
    if (stop.stop_requested())
        return ui::Cancelled{};
    try {
        std::rethrow_exception(error);
    } catch (const RunCancelled&) {
        return ui::Cancelled{};
    } catch (const transfer::TransferError& transferError) {
        if (transferError.cancelled())
            return ui::Cancelled{};
        return ui::Failed{transferError.what()};
    } catch (const std::exception& other) {
        return ui::Failed{other.what()};
    } catch (...) {
        return ui::Failed{"未知错误"};
    }
}

} // namespace

void RunChannel::post(std::function<void(RunHost&)> update) const {
    mainThread_.post([channel = *this, update = std::move(update)] {
        if (RunHost* host = channel.currentHost())
            update(*host);
    });
}

std::optional<bool> RunChannel::ask(std::function<bool(RunHost&)> question,
                                    std::stop_token stop) const {
    return askMainThread<bool>(
        mainThread_,
        [channel = *this, question = std::move(question)] {
            RunHost* host = channel.currentHost();
            return host && question(*host);
        },
        std::move(stop));
}

RunHost* RunChannel::currentHost() const {
    const auto host = host_.lock();
    if (!host || (*host)->currentRunID() != runID_)
        return nullptr;
    return *host;
}

fs::path cacheFolder(const fs::path& home, const std::string& environment,
                     const std::string& digest) {
    return home / "Library" / "Caches" / "com.tavelo.installer" / environment / digest;
}

void runInstall(const RunContext& context, std::stop_token stop) {
    ui::InstallerPhase last = ui::Complete{};
    platform::Event(context.log, "run").with("at", "begin");
    try {
        installRelease(context, stop);
        platform::Event(context.log, "outcome").with("result", "complete");
    } catch (...) {
        last = endingPhase(std::current_exception(), stop);
        platform::Event outcome(context.log, "outcome");
        if (const auto* failed = std::get_if<ui::Failed>(&last))
            outcome.with("result", "failed").with("shown", failed->message).withError();
        else
            outcome.with("result", "cancelled").withError();
    }
    context.channel.post([last](RunHost& host) { host.endRun(last); });
}

} // namespace installer::app
