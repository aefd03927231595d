#pragma once

#include "install/install.h"
#include "platform/file_manager.h"
#include "platform/system.h"
#include "release/records.h"
#include "release/settings.h"
#include "transfer/download.h"
#include "transfer/release_service.h"

#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace installer::app {

// One package transfer as the run drives it: started once, cancellable from any thread.
class PackageDownload {
public:
    virtual ~PackageDownload() = default;
    virtual void start(const std::string& url, transfer::CompletionCallback completion) = 0;
    virtual void cancel() = 0;
};

// Everything a graphical run does to the world outside the window. Each call blocks
// its (worker) thread; the delegate's tests stand in scripted answers.
class InstallServices {
public:
    virtual ~InstallServices() = default;
    virtual transfer::ServiceAddress serviceAddress() = 0;
    virtual release::Manifest resolveRelease(const transfer::ServiceAddress& address,
                                             std::stop_token stop) = 0;
    virtual release::Manifest recheckRelease(const transfer::ServiceAddress& address,
                                             const release::Manifest& resolved,
                                             std::stop_token stop) = 0;
    virtual std::shared_ptr<PackageDownload> makeDownload(std::filesystem::path destination,
                                                          transfer::ProgressCallback progress) = 0;
    virtual void verifyFile(const std::filesystem::path& file, const release::Package& package) = 0;
    // Refuses before the download what install would refuse at the target's installed
    // bundle, once what earlier installs left of it is finished or undone.
    virtual void checkInstalled(const release::Manifest& manifest,
                                const std::filesystem::path& target) = 0;
    virtual void install(const std::filesystem::path& package, const release::Manifest& manifest,
                         const std::filesystem::path& target,
                         const install::StatusCallback& status) = 0;
};

// How the HTTPS requests of a run are made. An edition may trust one extra CA;
// `connectTo` routes an allow-listed name to a local server while its certificate is
// still checked for that name (tests only; production passes none).
struct TransportOptions {
    std::string caBundle;
    std::vector<std::string> connectTo;
};

// The real services: the release service and package hosts over HTTPS, the package
// check and the install transaction with the edition's tools.
class NetworkInstallServices final : public InstallServices {
public:
    NetworkInstallServices(release::Settings config, const platform::System& system,
                           TransportOptions transport, std::string toolDir,
                           const platform::EventLog& log = platform::noEventLog());

    transfer::ServiceAddress serviceAddress() override;
    release::Manifest resolveRelease(const transfer::ServiceAddress& address,
                                     std::stop_token stop) override;
    release::Manifest recheckRelease(const transfer::ServiceAddress& address,
                                     const release::Manifest& resolved,
                                     std::stop_token stop) override;
    std::shared_ptr<PackageDownload> makeDownload(std::filesystem::path destination,
                                                  transfer::ProgressCallback progress) override;
    void verifyFile(const std::filesystem::path& file, const release::Package& package) override;
    void checkInstalled(const release::Manifest& manifest,
                        const std::filesystem::path& target) override;
    void install(const std::filesystem::path& package, const release::Manifest& manifest,
                 const std::filesystem::path& target,
                 const install::StatusCallback& status) override;

private:
    transfer::GetOptions getOptions() const;
    transfer::ServiceClient client(std::stop_token stop) const;
    install::InstallEnvironment environment() const;

    release::Settings config_;
    const platform::System& system_;
    TransportOptions transport_;
    std::string toolDir_;
    platform::FileManager files_;
    const platform::EventLog& log_;
};

} // namespace installer::app
