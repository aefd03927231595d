#include "install_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

namespace installer::testing {

namespace fs = std::filesystem;

InstallSandbox::InstallSandbox()
    : apps(root / "Applications"), home(root / "home"), control(root / "control"),
      tools(root / "tools"), target(apps / (std::string(testAppName) + ".app")),
      appSupport(home / "Library/Application Support" / testAppName) {
    for (const auto& dir : {apps, home, control, tools, root / "tmp"})
        fs::create_directories(dir);
    for (const char* tool : {"hdiutil", "lipo", "codesign", "ditto", "open"})
        fs::create_symlink(emulatedToolsDir() / tool, tools / tool);
    // Read by the tools and the app the transaction starts; the installer reads none.
    const std::pair<const char*, std::string> environment[] = {
        {"EMULATED_TOOLS_CONTROL", control.string()},
        {"TMPDIR", (root / "tmp").string()},
        {"HOME", home.string()},
        {"SAMPLE_APP_HEALTH", "ready"}};
    for (const auto& [name, value] : environment) {
        const char* old = std::getenv(name);
        savedEnvironment_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name, value.c_str(), 1);
    }
    system.home = home;
    system.realSleepShare = 0.05;
}

InstallSandbox::~InstallSandbox() {
    // Anything still attached (a test that failed half-way) goes before the folder.
    std::error_code error;
    for (const auto& parent : fs::directory_iterator(root / "tmp", error))
        for (const auto& mount : fs::directory_iterator(parent.path(), error))
            emulatedTool("hdiutil", {"detach", mount.path().string()});
    for (const auto& [name, value] : savedEnvironment_) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
}

Release InstallSandbox::release(const ReleaseRecipe& recipe) {
    const std::string key = recipe.version + "-" + recipe.build + "-" + recipe.identifier + "-" +
                            recipe.archs + (recipe.seal ? "" : "-unsealed");
    if (auto found = releases_.find(key); found != releases_.end())
        return found->second;
    const Release made = makeRelease(root / "releases" / key, recipe);
    releases_.emplace(key, made);
    return made;
}

void InstallSandbox::installAtTarget(const ReleaseRecipe& recipe) {
    fs::remove_all(target);
    fs::copy(release(recipe).bundle, target,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

void InstallSandbox::overrideTool(const std::string& name, const std::string& script) {
    fs::remove(tools / name);
    writeFile(tools / name,
              "#!/usr/bin/env bash\nreal=" + (emulatedToolsDir() / name).string() + "\n" + script);
    ::chmod((tools / name).c_str(), 0755);
}

std::string InstallSandbox::install(const Release& release, std::optional<int> waitPID,
                                    const std::optional<release::Manifest>& manifest) {
    std::FILE* out = std::fopen((root / "ready").c_str(), "w");
    const install::InstallEnvironment environment{tools.string(), system, files, out};
    const std::string result = outcome([&] {
        install::install(
            release.image, manifest ? *manifest : manifestFor(release), target, waitPID,
            onStatus ? onStatus : [](const std::string&) {}, environment);
    });
    std::fclose(out);
    ready = readText(root / "ready");
    return result;
}

std::string InstallSandbox::check(const Release& release) {
    return outcome([&] {
        install::checkInstalledRelease(manifestFor(release), target,
                                       {tools.string(), system, files});
    });
}

int InstallSandbox::count(const std::string& prefix) const {
    std::istringstream log(readText(control / "log"));
    int n = 0;
    for (std::string line; std::getline(log, line);)
        n += line.rfind(prefix, 0) == 0;
    return n;
}

std::vector<std::string> InstallSandbox::hiddenEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(apps)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".tavelo-new-") || name.starts_with(".tavelo-previous-"))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string InstallSandbox::leftBehind() const {
    std::string state = fs::exists(target) ? bundleShortVersion(target) : "nothing";
    for (const auto& name : hiddenEntries())
        state += (name.starts_with(".tavelo-new-") ? ", staging " : ", previous ") +
                 (fs::is_symlink(apps / name) ? "link" : bundleShortVersion(apps / name));
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(apps, error))
        if (entry.path().filename().string().starts_with(".tavelo-transaction-"))
            state += ", record";
    // An attached image's folder stays until it is detached.
    const bool detached = fs::directory_iterator(root / "tmp", error) == fs::directory_iterator();
    return detached ? state : state + ", image attached";
}

bool InstallSandbox::sealed(const fs::path& bundle) const {
    return emulatedTool("codesign", {"--verify", "--deep", "--strict", bundle.string()}) == 0;
}

} // namespace installer::testing
