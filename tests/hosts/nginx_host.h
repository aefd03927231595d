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
    int status = 302;
};

struct NginxOptions {
    std::vector<Redirect> redirects;
    // Bytes per second on each connection, 0 for no limit; with it a transfer can be
    // stopped half-way.
    std::size_t rateLimit = 0;
};

// nginx with the demo's package-host configuration (scripts/package-host.conf), serving
// `root` on a free port of 127.0.0.1 with the server certificate of `ca`. Its logs and
// temporary files live in a folder of its own. The constructor returns once the port
// accepts connections; the server dies with the thread that started it, so a crashing
// test leaves none behind.
//
// nginx's ETag is made of the file's modification time (whole seconds) and size: a test
// that replaces a file by another of the same size should also move its time.
class NginxHost {
public:
    NginxHost(std::filesystem::path root, const TestCA& ca, NginxOptions options = {});
    ~NginxHost();
    NginxHost(const NginxHost&) = delete;
    NginxHost& operator=(const NginxHost&) = delete;

    int port() const { return port_; }
    // "https://localhost:PORT/path".
    std::string url(std::string_view path) const;

    // Stops serving at once (the port then refuses connections); idempotent.
    void stop();

    // One line per finished request: method, URI, status, body bytes sent, and the
    // Range and If-Range headers received ("" when absent).
    std::string accessLog() const;

private:
    bool start();

    TempDir dir_;
    std::filesystem::path root_;
    std::filesystem::path caFolder_;
    NginxOptions options_;
    int port_ = 0;
    int pid_ = 0;
};

} // namespace installer::testing
