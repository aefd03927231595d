#include "hosts/hosts.h"

#include "platform/file.h"
#include "support/process.h"

#include <csignal>
#include <random>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

namespace installer::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void replaceAll(std::string& text, std::string_view name, const std::string& value) {
    for (auto at = text.find(name); at != std::string::npos;
         at = text.find(name, at + value.size()))
        text.replace(at, name.size(), value);
}

} // namespace

TestCA makeTestCA(const std::filesystem::path& folder) {
    const auto made = runProcess({MAKE_CA_SCRIPT, folder.string()});
    if (made.status != 0)
        throw std::runtime_error("make-ca failed: " + made.err);
    return {folder / "ca.pem", folder / "server.pem", folder / "server.key"};
}

NginxHost::NginxHost(fs::path root, const TestCA& ca, std::size_t rateLimit) {
    static std::mt19937 random{std::random_device{}()};
    const fs::path pidFile = dir_ / "nginx.pid";
    // A port below the kernel's ephemeral range, another when someone holds it.
    for (int attempt = 0; attempt < 10; ++attempt) {
        port_ = std::uniform_int_distribution(20000, 32000)(random);
        std::string configuration = readText(PACKAGE_HOST_CONFIGURATION);
        replaceAll(configuration, "@DIR@", dir_.path().string());
        replaceAll(configuration, "@PORT@", std::to_string(port_));
        replaceAll(configuration, "@CA@", fs::absolute(ca.caFile).parent_path().string());
        replaceAll(configuration, "@ROOT@", fs::absolute(root).string());
        replaceAll(configuration, "@RATE@", std::to_string(rateLimit));
        writeFile(dir_ / "nginx.conf", configuration);
        fs::remove(pidFile);
        const int pid =
            spawnProcess({"/usr/bin/setpriv", "--pdeathsig", "KILL", "/usr/sbin/nginx", "-p",
                          dir_.path().string() + "/", "-c", (dir_ / "nginx.conf").string(), "-e",
                          (dir_ / "error.log").string()},
                         {}, (dir_ / "nginx.out").string());
        // nginx writes its pid file only once it listens: the port alone could be answered
        // by whoever beat it to the port.
        for (const auto deadline = std::chrono::steady_clock::now() + 5s;
             std::chrono::steady_clock::now() < deadline && ::waitpid(pid, nullptr, WNOHANG) == 0;
             std::this_thread::sleep_for(5ms))
            if (readText(pidFile) == std::to_string(pid) + "\n") {
                pid_ = pid;
                return;
            }
        waitForChild(pid, 0ms); // one that did not come up, unless it already exited
    }
    throw std::runtime_error("nginx did not start: " + readText(dir_ / "error.log") +
                             readText(dir_ / "nginx.out"));
}

NginxHost::~NginxHost() {
    // SIGTERM, not the graceful SIGQUIT, which waits for rate-limited transfers.
    ::kill(pid_, SIGTERM);
    waitForChild(pid_, 5s);
}

ReleaseServiceHost::ReleaseServiceHost(const TestCA& ca, const Signer& signer) {
    fs::create_directories(dir_ / "releases");
    server_ = std::make_unique<service::ReleaseServer>(
        service::ServiceOptions{dir_ / "releases", dir_ / "control.json", signer.keys.privateKeyPem,
                                signer.keyId},
        ca.certFile, ca.keyFile);
}

void ReleaseServiceHost::addRelease(nlohmann::ordered_json manifest) {
    manifest.erase("issuedAt");
    manifest.erase("expiresAt");
    writeFile(dir_ / "releases" / (manifest.value("releaseId", "") + ".json"), manifest.dump(2));
}

void ReleaseServiceHost::steer(const nlohmann::ordered_json& steering) {
    platform::writeFileAtomically(dir_ / "control.json", steering.dump());
}

} // namespace installer::testing
