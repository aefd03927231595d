#include "fuzz/fuzz.h"
#include "platform/installer_error.h"
#include "release/json_reader.h"
#include "support/fake_system.h"
#include "trust/base64url.h"
#include "trust/date_time.h"
#include "trust/verify.h"

#include <memory>
#include <openssl/evp.h>

using namespace installer;
using namespace std::chrono_literals;

namespace {

// One fixed key pair, so that every run and every replay signs alike.
struct TestKey {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, &EVP_PKEY_free};

    TestKey() {
        const unsigned char seed[32] = {'f', 'u', 'z', 'z'};
        key.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed));
    }
    std::string publicKey() const {
        unsigned char raw[32];
        std::size_t length = sizeof raw;
        EVP_PKEY_get_raw_public_key(key.get(), raw, &length);
        return std::string(reinterpret_cast<char*>(raw), length);
    }
    std::string sign(std::string_view message) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
        unsigned char signature[64];
        std::size_t length = sizeof signature;
        EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key.get());
        EVP_DigestSign(md.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size());
        return std::string(reinterpret_cast<char*>(signature), length);
    }
};

} // namespace

// The input is a manifest; it arrives correctly signed, so every policy rule is reached.
FUZZ_TARGET(data, size) {
    static const TestKey key;
    const auto payload = fuzz::text(data, size);
    release::Settings settings;
    settings.environment = "production";
    settings.keys = {{"fuzz-v1", trust::encode64(key.publicKey())}};
    settings.downloadHosts = {"cdn.example"};
    settings.installerVersion = "1.0.5";
    const release::Signed envelope{"fuzz-v1", trust::encode64(payload),
                                   trust::encode64(key.sign(payload))};
    const testing::FakeSystem system; // arm64, 13.4.0, 2026-01-01T00:00:00Z
    try {
        const auto manifest = trust::verify(envelope, settings, system);
        const auto expires = trust::parseInternetDateTime(manifest.expiresAt);
        const auto now = std::chrono::floor<std::chrono::seconds>(system.clock);
        fuzz::check(expires && *expires > now && *expires < now + 1260s,
                    "an accepted manifest expires within 21 minutes from now");
    } catch (const InstallerError&) {
    } catch (const release::DecodeError&) {
    }
    return 0;
}
