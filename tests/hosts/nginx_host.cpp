#include "hosts/nginx_host.h"

#include "support/process.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace installer::testing {

namespace {

// A port the kernel just handed out and took back; nginx binds it right after, and a
// clash only means another try.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string configuration(const std::filesystem::path& dir, const std::filesystem::path& root,
                          const TestCA& ca, const NginxHost::Options& options, int port) {
    const std::string d = dir.string();
    std::string text = "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d +
                       "/nginx.pid;\nerror_log " + d + "/error.log warn;\n"
                       "events { worker_connections 64; }\n"
                       "http {\n  access_log " + d + "/access.log;\n"
                       "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n"
                       "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n"
                       "  scgi_temp_path " + d + "/scgi;\n"
                       "  types { application/octet-stream dmg; }\n  default_type application/octet-stream;\n"
                       "  sendfile on;\n"
                       "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n"
                       "    server_name localhost;\n"
                       "    ssl_certificate " + ca.certFile.string() + ";\n"
                       "    ssl_certificate_key " + ca.keyFile.string() + ";\n"
                       "    root " + root.string() + ";\n";
    if (!options.rateLimit.empty())
        text += "    limit_rate " + options.rateLimit + ";\n";
    for (const auto& redirect : options.redirects)
        text += "    location = " + redirect.from + " { return " + std::to_string(redirect.status) + " " +
                redirect.to + "; }\n";
    text += "  }\n}\n";
    return text;
}

} // namespace

NginxHost::NginxHost(std::filesystem::path root, const TestCA& ca, Options options) {
    for (int attempt = 0; attempt < 5 && pid_ == 0; ++attempt) {
        port_ = freePort();
        const auto conf = dir_ / "nginx.conf";
        writeFile(conf, configuration(dir_.path(), root, ca, options, port_));
        const int pid = spawnProcess({"/usr/sbin/nginx", "-p", dir_.path().string(), "-c", conf.string()},
                                     {}, (dir_ / "nginx.out").string());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (accepts(port_)) {
                pid_ = pid;
                break;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                break;  // it gave up, most likely on the port: try another
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid_ == 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    if (pid_ == 0) {
        std::string log;
        try {
            log = readText(dir_ / "error.log");
        } catch (...) {
        }
        throw std::runtime_error("nginx did not start: " + log);
    }
}

NginxHost::~NginxHost() {
    ::kill(pid_, SIGTERM);
    waitForChild(pid_, std::chrono::seconds(10));
}

std::string NginxHost::url(std::string_view path) const {
    return "https://localhost:" + std::to_string(port_) + std::string(path);
}

} // namespace installer::testing
