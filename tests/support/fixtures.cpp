#include "support/fixtures.h"

#include "support/temp_dir.h"

#include <cstdlib>
#include <ctime>
#include <plist/plist.h>

namespace installer::testing {

std::string internetTime(platform::Clock::time_point time) {
    const std::time_t seconds = platform::Clock::to_time_t(time);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

release::Signed Signer::sign(std::string_view manifest) const {
    return release::decodeSigned(envelope(manifest));
}

std::string Signer::envelope(std::string_view manifest) const {
    return signing::makeEnvelope(manifest, keys.privateKeyPem, keyId);
}

release::Settings settingsFor(const Signer& signer) {
    return {"https://releases.tavelo.example",
            "production",
            {{signer.keyId, signer.keys.publicKey}},
            {std::string(packageHost)},
            "1.0.5"};
}

nlohmann::ordered_json validManifest(const FakeSystem& system) {
    using namespace std::chrono_literals;
    auto manifest = nlohmann::ordered_json::parse(R"({
        "schemaVersion": 1, "environment": "production", "channel": "stable",
        "releaseId": "rel_2026-01", "revision": 3, "appVersion": "1.4.2", "buildNumber": 42,
        "platform": "macos", "arch": "", "minOS": "12.0", "minInstallerVersion": "1.0.0",
        "minUpdaterProtocol": 1,
        "package": {"artifactId": "art-1",
                    "url": "https://packages.tavelo.example/releases/1.4.2/AI.dmg",
                    "format": "dmg", "sizeBytes": 1000, "sha256": "", "appId": "com.tavelo.desktop"}})");
    manifest["arch"] = system.processor;
    manifest["package"]["sha256"] = std::string(64, 'a');
    manifest["issuedAt"] = internetTime(system.clock - 10s);
    manifest["expiresAt"] = internetTime(system.clock + 600s);
    return manifest;
}

Signer testEditionSigner() {
    const std::string pem = readText(TEST_SIGNING_KEY);
    return Signer{signing::KeyPair{pem, signing::publicKeyOf(pem)}, "test-release-v1"};
}

nlohmann::ordered_json testEditionManifest() {
    const platform::RealSystem machine;
    FakeSystem now;
    now.clock = machine.now();
    now.processor = machine.processorName();
    nlohmann::ordered_json json = validManifest(now);
    json["environment"] = "sit";
    json["minOS"] = "1.0";
    json["package"]["appId"] = "com.tavelo.desktop.sit";
    json["package"]["url"] = "https://localhost/releases/AI.dmg";
    return json;
}

std::string binaryPlist(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    char* data = nullptr;
    std::uint32_t size = 0;
    plist_to_bin(root, &data, &size);
    std::string bytes(data, size);
    std::free(data);
    plist_free(root);
    return bytes;
}

} // namespace installer::testing
