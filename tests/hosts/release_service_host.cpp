#include "hosts/release_service_host.h"

namespace installer::testing {

ReleaseServiceHost::ReleaseServiceHost(const TestCA& ca, const Signer& signer) {
    std::filesystem::create_directories(dir_ / "releases");
    service::ServiceOptions options;
    options.releases = dir_ / "releases";
    options.control = dir_ / "control.json";
    options.privateKeyPem = signer.keys.privateKeyPem;
    options.keyId = signer.keyId;
    server_ = std::make_unique<service::ReleaseServer>(std::move(options), ca.certFile, ca.keyFile);
}

std::string ReleaseServiceHost::origin() const {
    return "https://localhost:" + std::to_string(server_->port());
}

void ReleaseServiceHost::addRelease(nlohmann::ordered_json manifest) {
    manifest.erase("issuedAt");
    manifest.erase("expiresAt");
    writeFile(dir_ / "releases" / (manifest.value("releaseId", "") + ".json"), manifest.dump(2));
}

} // namespace installer::testing
