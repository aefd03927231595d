#include "support/release_maker.h"

#include "platform/bundle.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "trust/crypto.h"

#include <fstream>
#include <stdexcept>

namespace installer::testing {

namespace {

release::Package describe(const std::filesystem::path& image) {
    std::ifstream in(image, std::ios::binary);
    trust::Sha256 hasher;
    std::vector<char> chunk(1 << 20);
    std::int64_t size = 0;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        hasher.update(chunk.data(), static_cast<std::size_t>(in.gcount()));
        size += in.gcount();
    }
    const auto digest = hasher.finish();
    release::Package package;
    package.artifactId = "sample-app";
    package.url = "https://localhost/" + image.filename().string();
    package.format = "dmg";
    package.sizeBytes = size;
    package.sha256 = trust::hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 32));
    package.appId = std::string(testAppId);
    return package;
}

} // namespace

std::filesystem::path emulatedToolsDir() { return EMULATED_TOOLS_DIR; }
std::filesystem::path sampleAppBinary() { return SAMPLE_APP_BINARY; }

int emulatedTool(const std::string& tool, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {(emulatedToolsDir() / tool).string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, {{"EMULATED_TOOLS_CONTROL", ""}}).status;
}

Release makeRelease(const std::filesystem::path& folder, const ReleaseRecipe& recipe) {
    std::vector<std::string> argv = {MAKE_RELEASE_SCRIPT, "--executable", SAMPLE_APP_BINARY,
                                     "--version", recipe.version, "--build", recipe.build,
                                     "--identifier", recipe.identifier, "--out", folder.string()};
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

release::Manifest manifestFor(const Release& release, const ReleaseRecipe& recipe) {
    release::Manifest manifest;
    manifest.schemaVersion = 1;
    manifest.environment = "sit";
    manifest.channel = "stable";
    manifest.releaseId = "sample-" + recipe.version;
    manifest.appVersion = recipe.version;
    manifest.buildNumber = std::stoull(recipe.build);
    manifest.platform = "macos";
    manifest.arch = "x64";
    manifest.minOS = "1.0";
    manifest.minInstallerVersion = "1.0.0";
    manifest.minUpdaterProtocol = 1;
    manifest.package = release.package;
    return manifest;
}

void makeImage(const std::filesystem::path& folder, const std::filesystem::path& image) {
    if (emulatedTool("hdiutil", {"create", "-srcfolder", folder.string(), "-volname", "Test",
                                 "-ov", "-format", "UDZO", image.string()}) != 0)
        throw std::runtime_error("hdiutil create failed for " + folder.string());
}

std::string bundleShortVersion(const std::filesystem::path& bundle) {
    const auto opened = platform::Bundle::open(bundle);
    if (!opened)
        return "";
    const auto* version = opened->info().find("CFBundleShortVersionString");
    return version ? version->text : "";
}

} // namespace installer::testing
