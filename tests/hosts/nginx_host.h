#pragma once

#include "hosts/test_ca.h"
#include "support/temp_dir.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace installer::testing {

// One location that answers with a redirect instead of a file.
struct Redirect {
    std::string path;     // exact request path, e.g. "/old.dmg"
    std::string location; // absolute URL, or a path nginx completes with this host and port
    int status = 302;     // 301, 302, 303, 307 or 308
};

struct NginxOptions {
    std::vector<Redirect> redirects;
    // Bytes per second on each connection, 0 for no limit; with it a client time-out
    // cuts a transfer half-way. The first `rateLimitAfter` bytes go at full speed.
    std::size_t rateLimit = 0;
    std::size_t rateLimitAfter = 0;
};

// nginx serving `root` as a plain static HTTPS host on 127.0.0.1, so ranges, If-Range,
// ETag and Last-Modified behave exactly as on a real package host. Its configuration,
// logs and temporary files live in a folder of its own; nothing under /etc or /var is
// touched. The constructor returns once the port accepts connections.
//
// nginx's ETag is made of the file's modification time (whole seconds) and size: a test
// that replaces a file by another of the same size should also move its time.
//
// The process dies with the thread that started it, so a crashing test leaves nothing
// behind; create the host on the thread that outlives its use.
class NginxHost {
public:
    NginxHost(std::filesystem::path root, const TestCA& ca, NginxOptions options = {});
    NginxHost(std::filesystem::path root, const Certificate& certificate,
              NginxOptions options = {});
    ~NginxHost();
    NginxHost(const NginxHost&) = delete;
    NginxHost& operator=(const NginxHost&) = delete;

    int port() const { return port_; }
    // "https://localhost:PORT/path".
    std::string url(std::string_view path) const;

    // Takes effect by restarting nginx on the same port, so transfers in flight end.
    void addRedirect(std::string path, std::string location, int status = 302);

    // Stops serving at once (the port then refuses connections); idempotent.
    void stop();
    bool running() const { return pid_ > 0; }

    // One line per finished request: method, URI, status, body bytes sent, and the
    // Range and If-Range headers received ("-" when absent).
    std::string accessLog() const;
    std::string errorLog() const;

private:
    void start(int port);
    void writeConfiguration() const;

    TempDir dir_;
    std::filesystem::path root_;
    Certificate certificate_;
    NginxOptions options_;
    int port_ = 0;
    int pid_ = 0;
};

} // namespace installer::testing
