#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace installer::release {

// The envelope of a manifest: its JSON bytes in base64url, the signing key's id and
// an Ed25519 signature over those bytes.
struct Signed {
    std::string keyId;
    std::string payloadBase64url;
    std::string signature;
};

struct Package {
    std::string artifactId;
    std::string url;
    std::string format;
    std::int64_t sizeBytes = 0;
    std::string sha256;
    std::string appId;
};

struct Manifest {
    std::int64_t schemaVersion = 0;
    std::string environment;
    std::string channel;
    std::string releaseId;
    std::uint64_t revision = 0;
    std::string appVersion;
    std::uint64_t buildNumber = 0;
    std::string platform;
    std::string arch;
    std::string minOS;
    std::string minInstallerVersion;
    std::int64_t minUpdaterProtocol = 0;
    Package package;
    std::string issuedAt;
    std::string expiresAt;
};

// The release service's answer.
struct ResolveResponse {
    struct Value {
        bool updateAvailable = false;
        std::optional<std::string> reason;
        std::optional<Signed> manifest;
    };

    std::int64_t code = 0;
    Value data;
};

// Each decodes one JSON document, member by member in the record's order; the first
// failing member fails the whole record with a DecodeError. Unknown keys are ignored.
Signed decodeSigned(std::string_view bytes);
Manifest decodeManifest(std::string_view bytes);
ResolveResponse decodeResolveResponse(std::string_view bytes);

} // namespace installer::release
