#include "hosts/nginx_host.h"
#include "hosts/release_service_host.h"
#include "hosts/test_ca.h"
#include "support/process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace installer::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A port the kernel just handed out and took back.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (!bound)
        throw std::system_error(error, std::generic_category(), "no free loopback port");
    return ntohs(address.sin_port);
}

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

NginxHost::NginxHost(fs::path root, const TestCA& ca, std::size_t rateLimit)
    : root_(fs::absolute(root)), caFolder_(fs::absolute(ca.caFile).parent_path()),
      rateLimit_(rateLimit) {
    // Someone quicker may take the free port before nginx binds it: another try.
    for (int attempt = 0; attempt < 5; ++attempt)
        if (start())
            return;
    throw std::runtime_error("nginx did not start: " + readText(dir_ / "error.log") +
                             readText(dir_ / "nginx.out"));
}

NginxHost::~NginxHost() {
    // SIGTERM, not the graceful SIGQUIT, which waits for rate-limited transfers.
    ::kill(pid_, SIGTERM);
    waitForChild(pid_, 5s);
}

std::string NginxHost::accessLog() const {
    return readText(dir_ / "access.log");
}

bool NginxHost::start() {
    port_ = freePort();
    std::string configuration = readText(PACKAGE_HOST_CONFIGURATION);
    replaceAll(configuration, "@DIR@", dir_.path().string());
    replaceAll(configuration, "@PORT@", std::to_string(port_));
    replaceAll(configuration, "@CA@", caFolder_.string());
    replaceAll(configuration, "@ROOT@", root_.string());
    replaceAll(configuration, "@RATE@", std::to_string(rateLimit_));
    replaceAll(configuration, "@EXTRA@", "");
    writeFile(dir_ / "nginx.conf", configuration);

    const fs::path pidFile = dir_ / "nginx.pid";
    fs::remove(pidFile);
    const int pid =
        spawnProcess({"/usr/bin/setpriv", "--pdeathsig", "KILL", "/usr/sbin/nginx", "-p",
                      dir_.path().string() + "/", "-c", (dir_ / "nginx.conf").string(), "-e",
                      (dir_ / "error.log").string()},
                     {}, (dir_ / "nginx.out").string());
    for (const auto deadline = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(5ms)) {
        // nginx writes its pid file only once it listens: the port alone could be
        // answered by whoever beat it to the port.
        if (readText(pidFile) == std::to_string(pid) + "\n") {
            pid_ = pid;
            return true;
        }
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return false;
    }
    waitForChild(pid, 0ms);
    return false;
}

ReleaseServiceHost::ReleaseServiceHost(const TestCA& ca, const Signer& signer) {
    fs::create_directories(dir_ / "releases");
    service::ServiceOptions options;
    options.releases = dir_ / "releases";
    options.control = dir_ / "control.json";
    options.privateKeyPem = signer.keys.privateKeyPem;
    options.keyId = signer.keyId;
    server_ = std::make_unique<service::ReleaseServer>(std::move(options), ca.certFile, ca.keyFile);
}

std::string ReleaseServiceHost::origin() const {
    return "https://localhost:" + std::to_string(server_->port());
}

void ReleaseServiceHost::addRelease(nlohmann::ordered_json manifest) {
    manifest.erase("issuedAt");
    manifest.erase("expiresAt");
    writeFile(dir_ / "releases" / (manifest.value("releaseId", "") + ".json"), manifest.dump(2));
}

} // namespace installer::testing
