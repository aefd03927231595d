#include "entry/run_installer.h"

#include "app/graphical_installer.h"
#include "entry/command_line.h"
#include "install/install.h"
#include "platform/file.h"
#include "platform/file_event_log.h"
#include "platform/installer_error.h"
#include "release/records.h"
#include "release/settings.h"
#include "trust/verify.h"

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
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

const char* modeName(Mode mode) {
    switch (mode) {
    case Mode::verification: return "verify-manifest";
    case Mode::update: return "update";
    case Mode::graphical: return "graphical";
    }
    return "unknown";
}

// The build number is not part of the settings the installer acts on; the log reads it
// from the settings text only to tell support which build wrote it.
std::string buildNumber(std::string_view settingsText) {
    const auto settings = nlohmann::json::parse(settingsText, nullptr, false);
    if (settings.is_object() && settings.contains("installerBuildNumber"))
        return settings["installerBuildNumber"].dump();
    return "unknown";
}

void logStart(const std::vector<std::string>& arguments, const Edition& edition,
              const platform::System& system, const platform::EventLog& log) {
    platform::Event start(log, "start");
    try {
        const release::Settings settings = release::decodeSettings(edition.settingsText);
        const ModeChoice choice = chooseMode(arguments);
        const platform::OSVersion os = system.osVersion();
        start.with("mode", modeName(choice.mode))
            .with("installer", settings.installerVersion)
            .with("build", buildNumber(edition.settingsText))
            .with("os", std::to_string(os.major) + "." + std::to_string(os.minor) + "." +
                            std::to_string(os.patch))
            .with("processor", system.processorName())
            .with("environment", settings.environment)
            .with("service", settings.apiOrigin);
        if (choice.mode != Mode::graphical) {
            std::string text;
            for (std::size_t i = 1; i < arguments.size(); ++i)
                text += (i > 1 ? " " : "") + arguments[i];
            start.with("arguments", text);
        }
    } catch (...) {
        start.withError();
    }
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
                     const platform::System& system, const platform::EventLog& log) {
    const auto manifest = readVerifiedManifest(path, maxVerifiedManifestSize, settings, system);
    trust::logRelease(log, path, manifest);
    const std::string line = "VERIFIED " + manifest.appVersion + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void runUpdate(const std::vector<std::string>& arguments, const Edition& edition,
               const release::Settings& settings, const platform::System& system,
               const platform::EventLog& log) {
    platform::LoggedSteps step(log);
    step.begin("verify manifest");
    const auto manifest =
        readVerifiedManifest(optionValue(arguments, "--manifest"), maxUpdateManifestSize,
                             settings, system);
    trust::logRelease(log, optionValue(arguments, "--manifest"), manifest);
    step.begin("install");
    const int waitPID = parseWaitPID(optionValue(arguments, "--wait-pid"));
    const auto package = platform::fileURL(optionValue(arguments, "--package"));
    const auto target = platform::fileURL(optionValue(arguments, "--target"));
    const platform::FileManager files;
    const install::InstallEnvironment environment{std::string(edition.toolDir), system, files,
                                                  stdout, log};
    // Nobody watches the status texts in this mode; the exit status tells the app.
    install::install(package, manifest, target, waitPID, [](const std::string&) {}, environment);
}

} // namespace

void runInstaller(const std::vector<std::string>& arguments, const Edition& edition,
                  const platform::System& system, const platform::EventLog& log) {
    const release::Settings settings = release::decodeSettings(edition.settingsText);
    const ModeChoice choice = chooseMode(arguments);
    switch (choice.mode) {
    case Mode::verification: return runVerification(choice.manifestPath, settings, system, log);
    case Mode::update: return runUpdate(arguments, edition, settings, system, log);
    case Mode::graphical:
        return app::runGraphicalInstaller(
            arguments, settings,
            {std::string(edition.toolDir), std::filesystem::path(edition.systemApplicationsDir),
             {std::string(edition.caBundle), {}}},
            system, log);
    }
}

std::filesystem::path installerLogFile(const std::filesystem::path& home,
                                       std::string_view environment) {
    return home / "Library" / "Logs" / release::editionName(environment) / "installer.log";
}

int runLogged(const std::vector<std::string>& arguments, const Edition& edition,
              const platform::System& system, const platform::EventLog& log) {
    logStart(arguments, edition, system, log);
    std::string line;
    try {
        runInstaller(arguments, edition, system, log);
        platform::Event(log, "exit").with("status", 0);
        return 0;
    } catch (const std::exception& error) {
        line = std::string("安装失败：") + error.what() + "\n";
    } catch (...) {
        line = "安装失败：未知错误\n";
    }
    writeAll(STDERR_FILENO, line);
    platform::Event(log, "exit")
        .with("status", 1)
        .with("shown", line.substr(0, line.size() - 1))
        .withError();
    return 1;
}

int runMain(int argc, char** argv, const Edition& edition) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const platform::RealSystem system;
    // Without settings there is no edition to name the log after; the run itself then
    // fails with the settings' own error.
    std::optional<platform::FileEventLog> log;
    try {
        log.emplace(installerLogFile(system.homeFolder(),
                                     release::decodeSettings(edition.settingsText).environment));
    } catch (const std::exception&) {
        return runLogged(arguments, edition, system, platform::noEventLog());
    }
    return runLogged(arguments, edition, system, *log);
}

} // namespace installer::entry
