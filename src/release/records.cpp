#include "release/records.h"

#include "release/json_reader.h"

namespace installer::release {

namespace {

Signed readSigned(const JsonReader& in) {
    Signed envelope;
    envelope.keyId = in.string("keyId");
    envelope.payloadBase64url = in.string("payloadBase64url");
    envelope.signature = in.string("signature");
    return envelope;
}

Package readPackage(const JsonReader& in) {
    Package package;
    package.artifactId = in.string("artifactId");
    package.url = in.string("url");
    package.format = in.string("format");
    package.sizeBytes = in.int64("sizeBytes");
    package.sha256 = in.string("sha256");
    package.appId = in.string("appId");
    return package;
}

} // namespace

Signed decodeSigned(std::string_view bytes) {
    const nlohmann::json document = parseJson(bytes);
    return readSigned(JsonReader(document, ""));
}

Manifest decodeManifest(std::string_view bytes) {
    const nlohmann::json document = parseJson(bytes);
    const JsonReader in(document, "");
    Manifest manifest;
    manifest.schemaVersion = in.int64("schemaVersion");
    manifest.environment = in.string("environment");
    manifest.channel = in.string("channel");
    manifest.releaseId = in.string("releaseId");
    manifest.revision = in.uint64("revision");
    manifest.appVersion = in.string("appVersion");
    manifest.buildNumber = in.uint64("buildNumber");
    manifest.platform = in.string("platform");
    manifest.arch = in.string("arch");
    manifest.minOS = in.string("minOS");
    manifest.minInstallerVersion = in.string("minInstallerVersion");
    manifest.minUpdaterProtocol = in.int64("minUpdaterProtocol");
    manifest.package = readPackage(in.object("package"));
    manifest.issuedAt = in.string("issuedAt");
    manifest.expiresAt = in.string("expiresAt");
    return manifest;
}

ResolveResponse decodeResolveResponse(std::string_view bytes) {
    const nlohmann::json document = parseJson(bytes);
    const JsonReader in(document, "");
    ResolveResponse response;
    response.code = in.int64("code");
    const JsonReader data = in.object("data");
    response.data.updateAvailable = data.boolean("updateAvailable");
    response.data.reason = data.optionalString("reason");
    if (const auto manifest = data.optionalObject("manifest"))
        response.data.manifest = readSigned(*manifest);
    return response;
}

} // namespace installer::release
