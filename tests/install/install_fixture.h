#pragma once

#include "install/install.h"
#include "support/fake_system.h"
#include "support/release_maker.h"
#include "support/temp_dir.h"

#include <functional>
#include <map>
#include <optional>
#include <set>

namespace installer::testing {

// A file manager that fails chosen moves, and can run a hook before each one.
class ScriptedFileManager : public platform::FileManager {
public:
    std::set<int> failingMoves; // 1-based numbers of the moves that fail
    bool writable = true;
    std::function<void(int)> beforeMove;
    mutable int moves = 0;

    bool isWritable(const std::filesystem::path& folder) const override {
        return writable && platform::FileManager::isWritable(folder);
    }
    void move(const std::filesystem::path& from, const std::filesystem::path& to) const override;
};

// One install transaction in a sandbox. The tools, the sample app and an installer binary
// started from here read the sandbox's folders from the environment.
class InstallSandbox {
public:
    InstallSandbox();
    ~InstallSandbox();

    TempDir root;
    std::filesystem::path apps, home, control, tools, target;
    std::filesystem::path appSupport; // the sample app's folder in the user's Library
    FakeSystem system;
    ScriptedFileManager files;
    std::function<void(const std::string&)> onStatus; // runs as each status arrives
    std::string ready;                                // what the transaction wrote for "READY"

    // Releases are cached per version and build: making one costs a few tool runs.
    Release release(const ReleaseRecipe& recipe = {});
    // Replaces the target by a sealed bundle of this version, as an earlier install would.
    void installAtTarget(const ReleaseRecipe& recipe);
    void overrideTool(const std::string& name, const std::string& script);
    // Makes the named emulated-tool run fail once ("ditto", "hdiutil-detach", ...).
    void failOnce(const std::string& key);

    // "ok" or the message of the error thrown.
    std::string install(const Release& release, std::optional<int> waitPID = std::nullopt);
    std::string install(const std::filesystem::path& package, const release::Manifest& manifest,
                        std::optional<int> waitPID = std::nullopt);
    std::string check(const Release& release);

    int count(const std::string& prefix) const; // tool runs whose log line starts so
    std::vector<std::string> hiddenEntries() const;
    // The version at the target, each bundle hidden beside it, each transaction record
    // and an image still attached: "1.1.0" when a transaction left nothing behind.
    std::string leftBehind() const;
    bool sealed(const std::filesystem::path& bundle) const;

private:
    std::map<std::string, Release> releases_;
    std::map<std::string, std::optional<std::string>> savedEnvironment_;
};

} // namespace installer::testing
