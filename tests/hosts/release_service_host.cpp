#include "hosts/release_service_host.h"

#include "steering.h"

namespace installer::testing {

namespace {

namespace fs = std::filesystem;

// The service reads these files while it answers on its own threads; a rename means it
// sees either the old content or the new, never half of it.
void replaceFile(const fs::path& path, std::string_view content) {
    const fs::path next = path.string() + ".next";
    writeFile(next, content);
    fs::rename(next, path);
}

} // namespace

ReleaseServiceHost::ReleaseServiceHost(const TestCA& ca, const Signer& signer,
                                       std::chrono::seconds validity)
    : releases_(dir_ / "releases"), control_(dir_ / "control.json") {
    fs::create_directories(releases_);
    service::ServiceOptions options;
    options.releases = releases_;
    options.control = control_;
    options.privateKeyPem = signer.keys.privateKeyPem;
    options.keyId = signer.keyId;
    options.validity = validity;
    server_ = std::make_unique<service::ReleaseServer>(std::move(options), ca.certFile, ca.keyFile);
}

ReleaseServiceHost::~ReleaseServiceHost() = default;

std::string ReleaseServiceHost::origin() const {
    return "https://localhost:" + std::to_string(port());
}

std::string ReleaseServiceHost::url(std::string_view target) const {
    return origin() + std::string(target);
}

void ReleaseServiceHost::addRelease(nlohmann::ordered_json manifest) {
    manifest.erase("issuedAt");
    manifest.erase("expiresAt");
    const std::string id = manifest.value("releaseId", "");
    auto [entry, added] = files_.try_emplace(id);
    if (added)
        entry->second = releases_ / ("release-" + std::to_string(++filesMade_) + ".json");
    replaceFile(entry->second, manifest.dump(2));
}

void ReleaseServiceHost::removeRelease(const std::string& releaseId) {
    const auto entry = files_.find(releaseId);
    if (entry == files_.end())
        return;
    fs::remove(entry->second);
    files_.erase(entry);
}

void ReleaseServiceHost::steer(const nlohmann::ordered_json& steering) {
    const std::string text = steering.dump();
    service::decodeSteering(text);
    replaceFile(control_, text);
}

} // namespace installer::testing
