#include "entry/run_installer.h"

#include "app/graphical_installer.h"
#include "entry/command_line.h"
#include "install/install.h"
#include "platform/file.h"
#include "platform/installer_error.h"
#include "release/records.h"
#include "release/settings.h"
#include "trust/verify.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace installer::entry {

namespace {

constexpr std::size_t maxVerifiedManifestSize = 127'999;
// Update mode takes manifests of any reasonable size, but not a file of any size: the
// envelope's payload is limited to 89,999 characters, so this is far beyond a real one.
constexpr std::size_t maxUpdateManifestSize = 16 * 1024 * 1024;

release::Manifest readVerifiedManifest(const std::string& path, std::size_t limit,
                                       const release::Settings& settings,
                                       const platform::System& system) {
    const std::string content = platform::readFile(path, limit);
    if (content.size() > limit)
        throw InstallerError("清单过大");
    return trust::verify(release::decodeSigned(content), settings, system);
}

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void runVerification(const std::string& path, const release::Settings& settings,
                     const platform::System& system) {
    const auto manifest = readVerifiedManifest(path, maxVerifiedManifestSize, settings, system);
    const std::string line = "VERIFIED " + manifest.appVersion + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void runUpdate(const std::vector<std::string>& arguments, const Edition& edition,
               const release::Settings& settings, const platform::System& system) {
    const auto manifest =
        readVerifiedManifest(optionValue(arguments, "--manifest"), maxUpdateManifestSize,
                             settings, system);
    const int waitPID = parseWaitPID(optionValue(arguments, "--wait-pid"));
    const auto package = platform::fileURL(optionValue(arguments, "--package"));
    const auto target = platform::fileURL(optionValue(arguments, "--target"));
    const platform::FileManager files;
    const install::InstallEnvironment environment{std::string(edition.toolDir), system, files,
                                                  stdout};
    // Nobody watches the status texts in this mode; the exit status tells the app.
    install::install(package, manifest, target, waitPID, [](const std::string&) {}, environment);
}

} // namespace

void runInstaller(const std::vector<std::string>& arguments, const Edition& edition,
                  const platform::System& system) {
    const release::Settings settings = release::decodeSettings(edition.settingsText);
    const ModeChoice choice = chooseMode(arguments);
    switch (choice.mode) {
    case Mode::verification: return runVerification(choice.manifestPath, settings, system);
    case Mode::update: return runUpdate(arguments, edition, settings, system);
    case Mode::graphical:
        return app::runGraphicalInstaller(
            arguments, settings,
            {std::string(edition.toolDir), std::filesystem::path(edition.systemApplicationsDir),
             {std::string(edition.caBundle), {}}},
            system);
    }
}

int runMain(int argc, char** argv, const Edition& edition) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const platform::RealSystem system;
    try {
        runInstaller(arguments, edition, system);
        return 0;
    } catch (const std::exception& error) {
        writeAll(STDERR_FILENO, std::string("安装失败：") + error.what() + "\n");
    } catch (...) {
        writeAll(STDERR_FILENO, "安装失败：未知错误\n");
    }
    return 1;
}

} // namespace installer::entry
