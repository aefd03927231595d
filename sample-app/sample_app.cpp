// The sample cloud-drive application: just enough of the real one to take part in an
// update. It knows its version from its own bundle, confirms a start made by the
// installer, and can ask the installer to update it.
//
//   <bundle>/Contents/MacOS/<exe> --installer-transaction=ID
//        writes the update-health file for ID, then exits
//   <bundle>/Contents/MacOS/<exe> --update-with INSTALLER MANIFEST PACKAGE
//        starts update mode for this bundle, exits 0 on READY, 1 otherwise
//
// SAMPLE_APP_HEALTH changes the confirmation for tests: "ready" (the default),
// "not-ready", "wrong-version", "none", or "late" (invalid JSON first, then valid).
// Every start appends a line to <home>/Library/Application Support/<edition>/sample-app.log.

#include "platform/bundle.h"
#include "platform/system.h"
#include "update_client.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace {

struct Identity {
    std::filesystem::path bundle;
    std::string identifier;
    std::string version;
    std::uint64_t build = 0;
    std::string edition;
};

Identity identify() {
    const auto executable = std::filesystem::read_symlink("/proc/self/exe");
    Identity me;
    me.bundle = executable.parent_path().parent_path().parent_path();
    const auto bundle = installer::platform::Bundle::open(me.bundle);
    if (!bundle)
        return me;
    me.identifier = bundle->identifier().value_or("");
    if (const auto* version = bundle->info().find("CFBundleShortVersionString"))
        me.version = version->text;
    if (const auto* build = bundle->info().find("CFBundleVersion"))
        std::from_chars(build->text.data(), build->text.data() + build->text.size(), me.build);
    me.edition = me.identifier.ends_with(".sit") ? "AI澄翎网盘测试版" : "AI澄翎网盘";
    return me;
}

std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const Identity me = identify();
    const auto home = installer::platform::RealSystem().homeFolder();
    const auto support = home / "Library" / "Application Support" / me.edition;
    std::error_code ignored;
    std::filesystem::create_directories(support, ignored);
    {
        std::ofstream log(support / "sample-app.log", std::ios::app);
        log << "started " << me.version << " " << me.build;
        for (const auto& arg : args)
            log << " " << arg;
        log << "\n";
    }

    if (const auto id = tavelo::update::installerTransaction(args)) {
        const auto file = tavelo::update::healthFilePath(home, me.edition, *id);
        const std::string mode = setting("SAMPLE_APP_HEALTH", "ready");
        try {
            if (mode == "ready") {
                tavelo::update::writeHealthFile(file, me.version, me.build);
            } else if (mode == "not-ready") {
                tavelo::update::writeHealthFile(file, me.version, me.build, false);
            } else if (mode == "wrong-version") {
                tavelo::update::writeHealthFile(file, me.version + ".1", me.build);
            } else if (mode == "late") {
                std::filesystem::create_directories(file.parent_path());
                std::ofstream(file) << "{\"version\":";
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                tavelo::update::writeHealthFile(file, me.version, me.build);
            }
        } catch (const std::exception& error) {
            std::cerr << "sample app: " << error.what() << '\n';
            return 1;
        }
        return 0;
    }

    if (args.size() == 4 && args[0] == "--update-with") {
        tavelo::update::UpdateRequest request;
        request.installer = args[1];
        request.manifest = args[2];
        request.package = args[3];
        request.target = me.bundle;
        request.log = support / "installer.log";
        const auto start = tavelo::update::startUpdate(request);
        std::ofstream(support / "sample-app.log", std::ios::app)
            << "installer " << start.installerPid << (start.ready ? " ready" : " refused") << "\n";
        return start.ready ? 0 : 1;
    }
    return 0;
}
