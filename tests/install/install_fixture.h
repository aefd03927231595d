#pragma once

#include "install/install.h"
#include "platform/system_error.h"
#include "support/fake_system.h"
#include "support/release_maker.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <set>

namespace installer::testing {

class ScriptedFileManager : public platform::FileManager {
public:
    std::set<int> failingMoves; // 1-based numbers of the moves that fail
    bool writable = true;
    std::function<void(int)> beforeMove;
    mutable int moves = 0;
    // Listings in name order, ascending (1) or descending (-1); 0 keeps the folder's own.
    int listingOrder = 0;

    bool isWritable(const std::filesystem::path& folder) const override {
        return writable && platform::FileManager::isWritable(folder);
    }
    void move(const std::filesystem::path& from, const std::filesystem::path& to) const override {
        const int number = ++moves;
        if (beforeMove)
            beforeMove(number);
        if (failingMoves.count(number))
            throw platform::SystemError(EIO, "injected failure of move " + std::to_string(number));
        platform::FileManager::move(from, to);
    }
    std::vector<std::filesystem::path> list(const std::filesystem::path& folder) const override {
        auto entries = platform::FileManager::list(folder);
        if (listingOrder != 0)
            std::sort(entries.begin(), entries.end(), [&](const auto& a, const auto& b) {
                return listingOrder > 0 ? a < b : b < a;
            });
        return entries;
    }
};

// One install transaction in a sandbox, whose folders the tools and apps started from
// here read from the environment.
class InstallSandbox {
public:
    InstallSandbox();
    ~InstallSandbox();

    TempDir root;
    std::filesystem::path apps, home, control, tools, target, appSupport;
    FakeSystem system;
    ScriptedFileManager files;
    std::function<void(const std::string&)> onStatus; // runs as each status arrives
    std::string ready;                                // what the transaction wrote for "READY"

    // Releases are cached per version and build: making one costs a few tool runs.
    Release release(const ReleaseRecipe& recipe = {});
    // Replaces the target by a sealed bundle of this version, as an earlier install would.
    void installAtTarget(const ReleaseRecipe& recipe);
    void overrideTool(const std::string& name, const std::string& script);

    // "ok" or the message of the error thrown; the manifest is the release's own unless given.
    std::string install(const Release& release, std::optional<int> waitPID = {},
                        const std::optional<release::Manifest>& manifest = {});
    std::string check(const Release& release);

    int count(const std::string& prefix) const; // tool runs whose log line starts so
    std::vector<std::string> hiddenEntries() const;
    // The version at the target, then what is left: "1.1.0, previous 1.0.0, record".
    std::string leftBehind() const;
    bool sealed(const std::filesystem::path& bundle) const;

private:
    std::map<std::string, Release> releases_;
    std::vector<std::pair<const char*, std::optional<std::string>>> savedEnvironment_;
};

} // namespace installer::testing
