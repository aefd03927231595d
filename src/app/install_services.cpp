#include "app/install_services.h"

#include "trust/verify_file.h"

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
                                               TransportOptions transport, std::string toolDir)
    : config_(std::move(config)), system_(system), transport_(std::move(transport)),
      toolDir_(std::move(toolDir)) {}

transfer::GetOptions NetworkInstallServices::getOptions() const {
    transfer::GetOptions options;
    options.caBundle = transport_.caBundle;
    options.connectTo = transport_.connectTo;
    return options;
}

transfer::ServiceAddress NetworkInstallServices::serviceAddress() {
    return transfer::serviceAddress(config_, system_);
}

release::Manifest NetworkInstallServices::resolveRelease(const transfer::ServiceAddress& address,
                                                         std::stop_token stop) {
    return transfer::resolveRelease(address, config_,
                                    transfer::serviceClient(system_, getOptions(), stop));
}

release::Manifest NetworkInstallServices::recheckRelease(const transfer::ServiceAddress& address,
                                                         const release::Manifest& resolved,
                                                         std::stop_token stop) {
    return transfer::recheckRelease(address, config_, resolved,
                                    transfer::serviceClient(system_, getOptions(), stop));
}

std::shared_ptr<PackageDownload>
NetworkInstallServices::makeDownload(std::filesystem::path destination,
                                     transfer::ProgressCallback progress) {
    transfer::DownloadOptions options;
    options.caBundle = transport_.caBundle;
    options.connectTo = transport_.connectTo;
    return std::make_shared<NetworkDownload>(config_, std::move(destination), std::move(progress),
                                             std::move(options));
}

void NetworkInstallServices::verifyFile(const std::filesystem::path& file,
                                        const release::Package& package) {
    trust::verifyFile(file, package);
}

void NetworkInstallServices::checkInstalled(const release::Manifest& manifest,
                                            const std::filesystem::path& target) {
    install::checkInstalledRelease(manifest, target, {toolDir_, system_, files_, stdout});
}

void NetworkInstallServices::install(const std::filesystem::path& package,
                                     const release::Manifest& manifest,
                                     const std::filesystem::path& target,
                                     const install::StatusCallback& status) {
    const install::InstallEnvironment environment{toolDir_, system_, files_, stdout};
    install::install(package, manifest, target, std::nullopt, status, environment);
}

} // namespace installer::app
