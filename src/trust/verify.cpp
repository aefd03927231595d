#include "trust/verify.h"

#include "platform/installer_error.h"
#include "trust/anchored.h"
#include "trust/base64url.h"
#include "trust/crypto.h"
#include "trust/date_time.h"
#include "trust/decimal.h"
#include "trust/trusted_url.h"
#include "trust/version.h"

#include <array>
#include <vector>

namespace installer::trust {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t maxPayloadLength = 89'999;
constexpr std::int64_t maxPackageSize = 262'144'000;
constexpr std::int64_t updaterProtocol = 1;

bool validReleaseId(std::string_view id) {
    return matchesAnchored(
        id, [](unsigned char c) { return isBase64urlChar(c); }, 1, 64);
}

bool validDigestText(std::string_view digest) {
    return matchesAnchored(digest, isLowerHex, 64, 64);
}

std::string expectedAppId(const release::Settings& settings) {
    return settings.environment == "sit" ? "com.tavelo.desktop.sit" : "com.tavelo.desktop";
}

// Everything that makes a release unacceptable whatever its version; all of it is
// one message to the user.
bool acceptablePolicy(const release::Manifest& manifest, const release::Settings& settings,
                      const platform::System& system) {
    const auto& package = manifest.package;
    if (!validReleaseId(manifest.releaseId) || manifest.schemaVersion != 1 ||
        manifest.environment != settings.environment || manifest.channel != "stable" ||
        manifest.platform != "macos" || manifest.arch != system.processorName() ||
        manifest.minUpdaterProtocol != updaterProtocol ||
        package.appId != expectedAppId(settings) || package.format != "dmg" ||
        package.sizeBytes < 1 || package.sizeBytes > maxPackageSize ||
        !validDigestText(package.sha256))
        return false;
    const auto issued = parseInternetDateTime(manifest.issuedAt);
    const auto expires = parseInternetDateTime(manifest.expiresAt);
    if (!issued || !expires)
        return false;
    // Whole seconds on both sides: the clock's own tick is nanoseconds, whose 64 bits end
    // in 2262 and begin in 1677, so comparing a date of year 0000-9999 against it would
    // wrap. Seconds hold every internet date-time exactly.
    const auto now = std::chrono::floor<std::chrono::seconds>(system.now());
    return *expires > now && *issued < now + 60s && *expires - *issued <= 1200s;
}

void checkMinimumSystem(std::string_view minOS, const platform::OSVersion& running) {
    std::vector<std::int64_t> pieces;
    std::size_t start = 0;
    while (start <= minOS.size()) {
        const std::size_t dot = std::min(minOS.find('.', start), minOS.size());
        const std::string_view piece = minOS.substr(start, dot - start);
        if (!piece.empty()) {
            std::int64_t value = 0;
            if (!parseSignedDecimal(piece, value))
                throw InstallerError("系统版本无效");
            pieces.push_back(value);
        }
        start = dot + 1;
    }
    if (pieces.size() < 2 || pieces.size() > 4)
        throw InstallerError("系统要求无效");
    pieces.resize(4, 0);
    const std::array<std::int64_t, 4> system = {running.major, running.minor, running.patch, 0};
    for (std::size_t i = 0; i < 4; ++i) {
        if (pieces[i] != system[i]) {
            if (pieces[i] > system[i])
                throw InstallerError("当前系统不支持此版本");
            return;
        }
    }
}

} // namespace

release::Manifest verify(const release::Signed& envelope, const release::Settings& settings,
                         const platform::System& system) {
    // An oversized payload is refused before any decoding work, with the message of an
    // unknown key: nobody but a signer could make one worth looking at.
    if (envelope.payloadBase64url.size() > maxPayloadLength)
        throw InstallerError("发布密钥未知");
    const auto key = settings.keys.find(envelope.keyId);
    if (key == settings.keys.end())
        throw InstallerError("发布密钥未知");
    const std::string payload = decode64(envelope.payloadBase64url);
    const Ed25519PublicKey publicKey(decode64(key->second));
    const std::string signature = decode64(envelope.signature);
    if (!publicKey.isValidSignature(signature, payload))
        throw InstallerError("发布签名无效");

    release::Manifest manifest = release::decodeManifest(payload);
    if (!acceptablePolicy(manifest, settings, system))
        throw InstallerError("发布清单已过期或不兼容");
    if (compare(settings.installerVersion, manifest.minInstallerVersion) < 0)
        throw InstallerError("请下载新版安装器");
    version(manifest.appVersion);
    checkMinimumSystem(manifest.minOS, system.osVersion());
    trustedURL(manifest.package.url, settings);
    return manifest;
}

} // namespace installer::trust
