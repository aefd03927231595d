#include "support/release_maker.h"

#include "platform/bundle.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "trust/crypto.h"

#include <stdexcept>

namespace installer::testing {

namespace {

release::Package describe(const std::filesystem::path& image) {
    const std::string bytes = readText(image);
    trust::Sha256 hasher;
    hasher.update(bytes.data(), bytes.size());
    const auto digest = hasher.finish();
    release::Package package;
    package.artifactId = "sample-app";
    package.url = "https://localhost/releases/AI.dmg";
    package.format = "dmg";
    package.sizeBytes = static_cast<std::int64_t>(bytes.size());
    package.sha256 = trust::hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 32));
    package.appId = std::string(testAppId);
    return package;
}

} // namespace

std::filesystem::path emulatedToolsDir() {
    return EMULATED_TOOLS_DIR;
}

int emulatedTool(const std::string& tool, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {(emulatedToolsDir() / tool).string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, {{"EMULATED_TOOLS_CONTROL", ""}}).status;
}

Release makeRelease(const std::filesystem::path& folder, const ReleaseRecipe& recipe) {
    std::vector<std::string> argv = {
        MAKE_RELEASE_SCRIPT, "--executable", SAMPLE_APP_BINARY, "--version",
        recipe.version,      "--build",      recipe.build,      "--identifier",
        recipe.identifier,   "--out",        folder.string()};
    if (!recipe.archs.empty()) {
        argv.push_back("--archs");
        argv.push_back(recipe.archs);
    }
    if (!recipe.payload.empty()) {
        argv.push_back("--payload");
        argv.push_back(recipe.payload.string());
    }
    if (!recipe.seal)
        argv.push_back("--no-seal");
    const auto result = runProcess(argv, {{"EMULATED_TOOLS_CONTROL", ""}});
    if (result.status != 0)
        throw std::runtime_error("make-release failed: " + result.err);
    Release release;
    release.image = result.out.substr(0, result.out.find('\n'));
    release.bundle = folder / "bundle" / (std::string(testAppName) + ".app");
    release.package = describe(release.image);
    return release;
}

nlohmann::ordered_json releaseManifest(const Release& release, const ReleaseRecipe& recipe) {
    nlohmann::ordered_json manifest = testEditionManifest();
    manifest["appVersion"] = recipe.version;
    manifest["buildNumber"] = std::stoull(recipe.build);
    manifest["package"]["sizeBytes"] = release.package.sizeBytes;
    manifest["package"]["sha256"] = release.package.sha256;
    return manifest;
}

release::Manifest manifestFor(const Release& release, const ReleaseRecipe& recipe) {
    return release::decodeManifest(releaseManifest(release, recipe).dump());
}

release::Package makeImage(const std::filesystem::path& folder, const std::filesystem::path& image) {
    if (emulatedTool("hdiutil", {"create", "-srcfolder", folder.string(), "-volname", "Test", "-ov",
                                 "-format", "UDZO", image.string()}) != 0)
        throw std::runtime_error("hdiutil create failed for " + folder.string());
    return describe(image);
}

std::string bundleShortVersion(const std::filesystem::path& bundle) {
    const auto opened = platform::Bundle::open(bundle);
    if (!opened)
        return "";
    const auto* version = opened->info().find("CFBundleShortVersionString");
    return version ? version->text : "";
}

} // namespace installer::testing
