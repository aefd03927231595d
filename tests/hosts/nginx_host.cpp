#include "hosts/nginx_host.h"

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

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the kernel just handed out and took back.
int freePort() {
    Socket socket;
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (socket.fd() < 0 || ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::system_error(errno, std::generic_category(), "no free loopback port");
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    Socket socket;
    const sockaddr_in address = loopback(port);
    return socket.fd() >= 0 &&
           ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

void replaceAll(std::string& text, std::string_view name, const std::string& value) {
    for (auto at = text.find(name); at != std::string::npos;
         at = text.find(name, at + value.size()))
        text.replace(at, name.size(), value);
}

} // namespace

NginxHost::NginxHost(fs::path root, const TestCA& ca, NginxOptions options)
    : root_(fs::absolute(root)), caFolder_(fs::absolute(ca.caFile).parent_path()),
      options_(std::move(options)) {
    // Someone quicker may take the free port before nginx binds it: another try.
    for (int attempt = 0; attempt < 5; ++attempt)
        if (start())
            return;
    throw std::runtime_error("nginx did not start: " + readText(dir_ / "error.log") +
                             readText(dir_ / "nginx.out"));
}

NginxHost::~NginxHost() {
    stop();
}

std::string NginxHost::url(std::string_view path) const {
    return "https://localhost:" + std::to_string(port_) + std::string(path);
}

std::string NginxHost::accessLog() const {
    return readText(dir_ / "access.log");
}

void NginxHost::stop() {
    if (pid_ <= 0)
        return;
    // SIGTERM, not the graceful SIGQUIT, which waits for rate-limited transfers.
    ::kill(pid_, SIGTERM);
    waitForChild(pid_, 5s);
    pid_ = 0;
}

bool NginxHost::start() {
    port_ = freePort();
    std::string extra;
    for (const auto& r : options_.redirects)
        extra += "location = " + r.path + " { return " + std::to_string(r.status) + " " +
                 r.location + "; }\n";
    std::string configuration = readText(PACKAGE_HOST_CONFIGURATION);
    replaceAll(configuration, "@DIR@", dir_.path().string());
    replaceAll(configuration, "@PORT@", std::to_string(port_));
    replaceAll(configuration, "@CA@", caFolder_.string());
    replaceAll(configuration, "@ROOT@", root_.string());
    replaceAll(configuration, "@RATE@", std::to_string(options_.rateLimit));
    replaceAll(configuration, "@EXTRA@", extra);
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
        // nginx writes its pid file once it listens; the port alone could be answered by
        // whoever beat it to the port.
        if (readText(pidFile) == std::to_string(pid) + "\n" && accepts(port_)) {
            pid_ = pid;
            return true;
        }
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return false;
    }
    waitForChild(pid, 0ms);
    return false;
}

} // namespace installer::testing
