#pragma once

#include "release/records.h"
#include "release/settings.h"
#include "signing.h"
#include "support/fake_system.h"

#include <nlohmann/json.hpp>
#include <string>

namespace installer::testing {

// 2026-01-01T00:00:10Z style text of a time.
std::string internetTime(platform::Clock::time_point time);

struct Signer {
    signing::KeyPair keys = signing::generateKeyPair();
    std::string keyId = "prod-release-v1";

    release::Signed sign(std::string_view manifest) const;
    std::string envelope(std::string_view manifest) const;
};

// Production-like settings that trust `signer`.
release::Settings settingsFor(const Signer& signer);

inline constexpr std::string_view packageHost = "packages.tavelo.example";

// A manifest every rule accepts under settingsFor(...) on `system` (arm64, 13.4.0):
// issued ten seconds ago, valid for ten minutes.
nlohmann::ordered_json validManifest(const FakeSystem& system);

// The signer and a valid manifest of the integration-test edition (its key, the
// environment "sit", the host localhost), issued now on this machine.
Signer testEditionSigner();
nlohmann::ordered_json testEditionManifest();

// The binary form of an XML property list, written by libplist: a writer independent
// of the reader under test.
std::string binaryPlist(const std::string& xml);

} // namespace installer::testing
