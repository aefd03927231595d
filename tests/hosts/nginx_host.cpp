#include "hosts/nginx_host.h"

#include "support/process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace installer::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* nginxProgram = "/usr/sbin/nginx";

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

// A port the kernel just handed out and took back. nginx binds it right after; a clash
// with someone quicker only costs another try.
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

class FileDescriptor {
public:
    FileDescriptor(const char* path, int flags) : fd_(::open(path, flags | O_CLOEXEC, 0644)) {
        if (fd_ < 0)
            throw std::system_error(errno, std::generic_category(), path);
    }
    ~FileDescriptor() { ::close(fd_); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Starts argv with its output appended to `output`. On Linux the child is killed when
// the starting thread ends, so a test that dies half-way leaves no server behind.
int startTied(const std::vector<std::string>& argv, const fs::path& output) {
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const FileDescriptor in("/dev/null", O_RDONLY);
    const FileDescriptor out(output.c_str(), O_WRONLY | O_CREAT | O_APPEND);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent may have other threads.
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
#endif
        if (::dup2(in.fd(), 0) < 0 || ::dup2(out.fd(), 1) < 0 || ::dup2(out.fd(), 2) < 0)
            ::_exit(127);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (pid < 0)
        throw std::system_error(errno, std::generic_category(), "cannot start nginx");
    return pid;
}

// nginx strings are quoted; a '$' would start a variable, which no test means.
std::string nginxString(std::string_view text) {
    if (text.find('$') != std::string_view::npos)
        throw std::invalid_argument("nginx host: '$' in " + std::string(text));
    std::string result = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            result += '\\';
        result += c;
    }
    return result + "\"";
}

void checkRedirect(const Redirect& redirect) {
    const int s = redirect.status;
    if (redirect.path.empty() || redirect.path.front() != '/')
        throw std::invalid_argument("nginx host: a redirect path starts with '/': " +
                                    redirect.path);
    if (s != 301 && s != 302 && s != 303 && s != 307 && s != 308)
        throw std::invalid_argument("nginx host: not a redirect status: " + std::to_string(s));
}

std::string readIfAny(const fs::path& file) {
    std::error_code error;
    return fs::exists(file, error) ? readText(file) : std::string();
}

} // namespace

NginxHost::NginxHost(fs::path root, const TestCA& ca, NginxOptions options)
    : NginxHost(std::move(root), ca.server(), std::move(options)) {}

NginxHost::NginxHost(fs::path root, const Certificate& certificate, NginxOptions options)
    : root_(fs::absolute(root)), certificate_{fs::absolute(certificate.certFile),
                                              fs::absolute(certificate.keyFile)},
      options_(std::move(options)) {
    for (const auto& redirect : options_.redirects)
        checkRedirect(redirect);
    start(0);
}

NginxHost::~NginxHost() {
    stop();
}

std::string NginxHost::url(std::string_view path) const {
    std::string url = "https://localhost:" + std::to_string(port_);
    if (path.empty() || path.front() != '/')
        url += '/';
    return url += path;
}

void NginxHost::addRedirect(std::string path, std::string location, int status) {
    Redirect redirect{std::move(path), std::move(location), status};
    checkRedirect(redirect);
    options_.redirects.push_back(std::move(redirect));
    const bool wasRunning = running();
    stop();
    if (wasRunning)
        start(port_);
}

void NginxHost::stop() {
    if (pid_ <= 0)
        return;
    // SIGTERM, not the graceful SIGQUIT: a rate-limited transfer in flight would hold a
    // graceful stop for as long as it takes.
    ::kill(pid_, SIGTERM);
    waitForChild(pid_, 5s);
    pid_ = 0;
}

std::string NginxHost::accessLog() const {
    return readIfAny(dir_ / "access.log");
}
std::string NginxHost::errorLog() const {
    return readIfAny(dir_ / "error.log");
}

void NginxHost::writeConfiguration() const {
    const auto in = [&](std::string_view name) { return nginxString((dir_ / name).string()); };
    std::string text;
    text += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    text += "pid " + in("nginx.pid") + ";\nerror_log " + in("error.log") + " notice;\n";
    text += "events { worker_connections 128; }\n";
    text += "http {\n";
    text += "  log_format host '$request_method $request_uri $status $body_bytes_sent "
            "range=\"$http_range\" if-range=\"$http_if_range\"';\n";
    text += "  access_log " + in("access.log") + " host;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        text += "  " + std::string(temp) + "_temp_path " + in(std::string(temp) + "-temp") + ";\n";
    text += "  types { application/octet-stream dmg; application/json json; text/plain txt; }\n";
    text += "  default_type application/octet-stream;\n";
    text += "  server {\n";
    text += "    listen 127.0.0.1:" + std::to_string(port_) + " ssl;\n";
    text += "    server_name localhost;\n";
    text += "    ssl_certificate " + nginxString(certificate_.certFile.string()) + ";\n";
    text += "    ssl_certificate_key " + nginxString(certificate_.keyFile.string()) + ";\n";
    text += "    root " + nginxString(root_.string()) + ";\n";
    if (options_.rateLimit > 0) {
        text += "    limit_rate " + std::to_string(options_.rateLimit) + ";\n";
        text += "    limit_rate_after " + std::to_string(options_.rateLimitAfter) + ";\n";
    }
    for (const auto& redirect : options_.redirects)
        text += "    location = " + nginxString(redirect.path) + " { return " +
                std::to_string(redirect.status) + " " + nginxString(redirect.location) + "; }\n";
    text += "  }\n}\n";
    writeFile(dir_ / "nginx.conf", text);
}

void NginxHost::start(int port) {
    const bool anyPort = port == 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = anyPort ? freePort() : port;
        writeConfiguration();
        const std::size_t logBefore = errorLog().size();
        const fs::path pidFile = dir_ / "nginx.pid";
        fs::remove(pidFile);
        const int pid =
            startTied({nginxProgram, "-p", dir_.path().string() + "/", "-c",
                       (dir_ / "nginx.conf").string(), "-e", (dir_ / "error.log").string()},
                      dir_ / "nginx.out");
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        bool exited = false;
        while (std::chrono::steady_clock::now() < deadline) {
            // nginx writes its pid file once its socket listens; the port alone could be
            // answered by whoever beat it to the port.
            if (readIfAny(pidFile) == std::to_string(pid) + "\n" && accepts(port_)) {
                pid_ = pid;
                return;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        if (!exited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        const bool portTaken =
            errorLog().find("Address already in use", logBefore) != std::string::npos;
        if (!anyPort || !portTaken)
            break;
    }
    throw std::runtime_error("nginx did not start on port " + std::to_string(port_) + ": " +
                             errorLog() + readIfAny(dir_ / "nginx.out"));
}

} // namespace installer::testing
