#include "fuzz/fuzz.h"
#include "platform/file.h"
#include "platform/installer_error.h"
#include "release/json_reader.h"
#include "signing.h"
#include "support/fake_system.h"
#include "trust/base64url.h"
#include "trust/date_time.h"
#include "trust/verify.h"

using namespace installer;
using namespace std::chrono_literals;

// The input is a manifest; it arrives signed with the test edition's key, which the
// settings name, so every policy rule is reached.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string key = platform::readFile(TEST_SIGNING_KEY, 4096);
    const auto payload = fuzz::text(data, size);
    static const release::Settings settings{
        "", "production", {{"k", signing::publicKeyOf(key)}}, {"cdn.example"}, "1.0.5"};
    const release::Signed envelope{"k", trust::encode64(payload),
                                   trust::encode64(signing::sign(key, payload))};
    const testing::FakeSystem system; // arm64, 13.4.0, 2026-01-01T00:00:00Z
    try {
        const auto expires =
            trust::parseInternetDateTime(trust::verify(envelope, settings, system).expiresAt);
        const auto now = std::chrono::floor<std::chrono::seconds>(system.clock);
        fuzz::check(expires && *expires > now && *expires < now + 1260s,
                    "an accepted manifest expires within 21 minutes from now");
    } catch (const InstallerError&) {
    } catch (const release::DecodeError&) {
    }
    return 0;
}
