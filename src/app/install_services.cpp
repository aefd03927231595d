#include "app/install_services.h"

#include "trust/verify_file.h"

#include <chrono>

namespace installer::app {

namespace {

class NetworkDownload final : public PackageDownload {
public:
    NetworkDownload(release::Settings config, std::filesystem::path destination,
                    transfer::ProgressCallback progress, transfer::DownloadOptions options)
        : download_(std::move(config), std::move(destination), std::move(progress),
                    std::move(options)) {}

    void start(const std::string& url, transfer::CompletionCallback completion) override {
        download_.start(url, std::move(completion));
    }
    void cancel() override { download_.cancel(); }

private:
    transfer::Download download_;
};

} // namespace

NetworkInstallServices::NetworkInstallServices(release::Settings config,
                                               const platform::System& system,
                                               TransportOptions transport, std::string toolDir,
                                               const platform::EventLog& log)
    : config_(std::move(config)), system_(system), transport_(std::move(transport)),
      toolDir_(std::move(toolDir)), log_(log) {}

transfer::GetOptions NetworkInstallServices::getOptions() const {
    transfer::GetOptions options;
    options.caBundle = transport_.caBundle;
    options.connectTo = transport_.connectTo;
    return options;
}

// Every answer of the service, as it came: the refusals the user reads come from these.
transfer::ServiceClient NetworkInstallServices::client(std::stop_token stop) const {
    transfer::ServiceClient client = transfer::serviceClient(system_, getOptions(), stop);
    client.get = [get = std::move(client.get), &log = log_](const std::string& url) {
        const auto start = std::chrono::steady_clock::now();
        try {
            transfer::HttpAnswer answer = get(url);
            platform::Event(log, "service answer")
                .with("url", url)
                .with("status", answer.status)
                .with("bytes", answer.body.size())
                .with("tooLarge", answer.bodyTooLarge)
                .with("ms", platform::elapsedMilliseconds(start));
            return answer;
        } catch (...) {
            platform::Event(log, "service answer")
                .with("url", url)
                .with("ms", platform::elapsedMilliseconds(start))
                .withError();
            throw;
        }
    };
    return client;
}

install::InstallEnvironment NetworkInstallServices::environment() const {
    return {toolDir_, system_, files_, stdout, log_};
}

transfer::ServiceAddress NetworkInstallServices::serviceAddress() {
    return transfer::serviceAddress(config_, system_);
}

release::Manifest NetworkInstallServices::resolveRelease(const transfer::ServiceAddress& address,
                                                         std::stop_token stop) {
    return transfer::resolveRelease(address, config_, client(std::move(stop)));
}

release::Manifest NetworkInstallServices::recheckRelease(const transfer::ServiceAddress& address,
                                                         const release::Manifest& resolved,
                                                         std::stop_token stop) {
    return transfer::recheckRelease(address, config_, resolved, client(std::move(stop)));
}

std::shared_ptr<PackageDownload>
NetworkInstallServices::makeDownload(std::filesystem::path destination,
                                     transfer::ProgressCallback progress) {
    transfer::DownloadOptions options;
    options.caBundle = transport_.caBundle;
    options.connectTo = transport_.connectTo;
    options.log = &log_;
    return std::make_shared<NetworkDownload>(config_, std::move(destination), std::move(progress),
                                             std::move(options));
}

void NetworkInstallServices::verifyFile(const std::filesystem::path& file,
                                        const release::Package& package) {
    trust::verifyFile(file, package);
}

void NetworkInstallServices::checkInstalled(const release::Manifest& manifest,
                                            const std::filesystem::path& target) {
    install::checkInstalledRelease(manifest, target, environment());
}

void NetworkInstallServices::install(const std::filesystem::path& package,
                                     const release::Manifest& manifest,
                                     const std::filesystem::path& target,
                                     const install::StatusCallback& status) {
    install::install(package, manifest, target, std::nullopt, status, environment());
}

} // namespace installer::app
