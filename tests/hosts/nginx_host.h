#pragma once

#include "hosts/test_ca.h"
#include "support/temp_dir.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace installer::testing {

// nginx with the demo's package-host configuration, serving `root` on 127.0.0.1 with the
// server certificate of `ca`, at most `rateLimit` bytes per second on each connection
// (0: no limit). It dies with the thread that started it, so a crashing test leaves none.
// Its ETag is the file's modification time (whole seconds) and size: a test replacing a
// file by one of the same size should move its time too.
class NginxHost {
public:
    NginxHost(std::filesystem::path root, const TestCA& ca, std::size_t rateLimit = 0);
    ~NginxHost();
    NginxHost(const NginxHost&) = delete;
    NginxHost& operator=(const NginxHost&) = delete;

    int port() const { return port_; }

    // One line per finished request: method, URI, status, body bytes sent, and the
    // Range and If-Range headers received.
    std::string accessLog() const { return readText(dir_ / "access.log"); }

private:
    TempDir dir_;
    int port_ = 0;
    int pid_ = 0;
};

} // namespace installer::testing
