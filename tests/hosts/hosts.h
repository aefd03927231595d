#pragma once

#include "release_service.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace installer::testing {

// A certificate authority made for one test by scripts/make-ca (the demo's too), and
// the server certificate it signed for localhost and 127.0.0.1. PEM files.
struct TestCA {
    std::filesystem::path caFile;   // for a client to trust
    std::filesystem::path certFile; // the server's
    std::filesystem::path keyFile;  // the server's
};

TestCA makeTestCA(const std::filesystem::path& folder);

// nginx with the demo's package-host configuration, at most `rateLimit` bytes a second
// on each connection (0: none); it dies with the thread that started it. Its ETag is
// the file's modification time (whole seconds) and size.
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

// The release service run in-process on a free loopback port, signing with `signer`'s
// key; its release folder lives in a folder of its own.
class ReleaseServiceHost {
public:
    ReleaseServiceHost(const TestCA& ca, const Signer& signer);

    std::string origin() const { return "https://localhost:" + std::to_string(server_->port()); }

    // Offers a release before the service is asked; it stamps fresh issuedAt/expiresAt.
    void addRelease(nlohmann::ordered_json manifest);
    // Bends the next answers (tools/release-service/steering.h).
    void steer(const nlohmann::ordered_json& steering);

private:
    TempDir dir_;
    std::unique_ptr<service::ReleaseServer> server_;
};

} // namespace installer::testing
