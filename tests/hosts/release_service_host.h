#pragma once

#include "hosts/test_ca.h"
#include "release_service.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace installer::testing {

// The release service run in-process on a free loopback port with the server
// certificate of a test CA, signing with `signer`'s key under its key id. Its release
// folder and control file live in a folder of its own; it stops when destroyed.
class ReleaseServiceHost {
public:
    ReleaseServiceHost(const TestCA& ca, const Signer& signer,
                       std::chrono::seconds validity = std::chrono::minutes(10));
    ~ReleaseServiceHost();
    ReleaseServiceHost(const ReleaseServiceHost&) = delete;
    ReleaseServiceHost& operator=(const ReleaseServiceHost&) = delete;

    int port() const { return server_->port(); }
    // "https://localhost:PORT", the apiOrigin of settings that talk to this host.
    std::string origin() const;
    // The origin followed by a path (and query).
    std::string url(std::string_view target) const;

    // Offers a release: the manifest as given, less its issuedAt and expiresAt (the
    // service stamps fresh ones). A second release with the same releaseId replaces it.
    void addRelease(nlohmann::ordered_json manifest);
    void removeRelease(const std::string& releaseId);

    // Replaces the steering (steering.h) from the next request on; an empty object
    // restores normal answers. A steering the service would refuse throws here.
    void steer(const nlohmann::ordered_json& steering);

    // The request targets received so far, oldest first.
    std::vector<std::string> requests() const { return server_->requests(); }

    const std::filesystem::path& releasesFolder() const { return releases_; }
    const std::filesystem::path& controlFile() const { return control_; }

private:
    TempDir dir_;
    std::filesystem::path releases_;
    std::filesystem::path control_;
    std::map<std::string, std::filesystem::path> files_; // release id -> its file
    int filesMade_ = 0;
    std::unique_ptr<service::ReleaseServer> server_;
};

} // namespace installer::testing
