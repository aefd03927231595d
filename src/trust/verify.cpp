#include "trust/verify.h"

#include "platform/installer_error.h"
#include "trust/anchored.h"
#include "trust/base64url.h"
#include "trust/crypto.h"
#include "trust/date_time.h"
#include "trust/decimal.h"
#include "trust/trusted_url.h"
#include "trust/url.h"
#include "trust/version.h"

#include <array>
#include <optional>
#include <string>
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
// one message to the user. Returns the rule that refuses it, for the log, or nothing.
std::optional<std::string> refusingRule(const release::Manifest& manifest,
                                        const release::Settings& settings,
                                        const platform::System& system) {
    const auto& package = manifest.package;
    const auto refuse = [](std::string rule, const std::string& found) {
        return std::optional<std::string>(rule + " rule: found \"" + found.substr(0, 80) + "\"");
    };
    if (!validReleaseId(manifest.releaseId))
        return refuse("release id", manifest.releaseId);
    if (manifest.schemaVersion != 1)
        return refuse("schema version", std::to_string(manifest.schemaVersion));
    if (manifest.environment != settings.environment)
        return refuse("environment", manifest.environment);
    if (manifest.channel != "stable")
        return refuse("channel", manifest.channel);
    if (manifest.platform != "macos")
        return refuse("platform", manifest.platform);
    if (manifest.arch != system.processorName())
        return refuse("processor", manifest.arch);
    if (manifest.minUpdaterProtocol != updaterProtocol)
        return refuse("updater protocol", std::to_string(manifest.minUpdaterProtocol));
    if (package.appId != expectedAppId(settings))
        return refuse("application id", package.appId);
    if (package.format != "dmg")
        return refuse("package format", package.format);
    if (package.sizeBytes < 1 || package.sizeBytes > maxPackageSize)
        return refuse("package size", std::to_string(package.sizeBytes));
    if (!validDigestText(package.sha256))
        return refuse("package digest", package.sha256);
    const auto issued = parseInternetDateTime(manifest.issuedAt);
    const auto expires = parseInternetDateTime(manifest.expiresAt);
    if (!issued || !expires)
        return refuse("date", manifest.issuedAt + " / " + manifest.expiresAt);
    // Whole seconds on both sides: the clock's own tick is nanoseconds, whose 64 bits end
    // in 2262 and begin in 1677, so comparing a date of year 0000-9999 against it would
    // wrap. Seconds hold every internet date-time exactly.
    const auto now = std::chrono::floor<std::chrono::seconds>(system.now());
    if (!(*expires > now))
        return refuse("freshness (expired)", manifest.expiresAt);
    if (!(*issued < now + 60s))
        return refuse("freshness (issued in the future)", manifest.issuedAt);
    if (!(*expires - *issued <= 1200s))
        return refuse("freshness (valid longer than 20 minutes)",
                      manifest.issuedAt + " / " + manifest.expiresAt);
    return std::nullopt;
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
    if (auto rule = refusingRule(manifest, settings, system))
        throw InstallerError("发布清单已过期或不兼容", std::move(*rule));
    if (compare(settings.installerVersion, manifest.minInstallerVersion) < 0)
        throw InstallerError("请下载新版安装器");
    version(manifest.appVersion);
    checkMinimumSystem(manifest.minOS, system.osVersion());
    trustedURL(manifest.package.url, settings);
    return manifest;
}

void logRelease(const platform::EventLog& log, std::string_view source,
                const release::Manifest& manifest) {
    const auto url = parseUrl(manifest.package.url);
    platform::Event(log, "release")
        .with("from", source)
        .with("id", manifest.releaseId)
        .with("version", manifest.appVersion)
        .with("build", manifest.buildNumber)
        .with("environment", manifest.environment)
        .with("channel", manifest.channel)
        .with("arch", manifest.arch)
        .with("host", url && url->host ? *url->host : "")
        .with("path", url ? url->path : "")
        .with("bytes", manifest.package.sizeBytes)
        .with("sha256", manifest.package.sha256)
        .with("expires", manifest.expiresAt);
}

} // namespace installer::trust
