#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace installer::service {

inline constexpr std::string_view resolvePath = "/api/site/v1/desktop/releases/resolve";
inline constexpr std::string_view releasesPath = "/api/site/v1/desktop/releases/";
inline constexpr std::string_view manifestSuffix = "/manifest";

// A release service for tests and the demo. Releases are manifest JSON files in a folder
// (one per release, without issuedAt and expiresAt; see release_catalog.h); every answer
// signs its manifest when it is asked for, so its validity window is always current.
// The steering document (steering.h) in the control file is read afresh on every
// request, so a test or the demo bends the answers by rewriting that file (atomically).
struct ServiceOptions {
    std::filesystem::path releases;
    std::filesystem::path control; // empty, or a file that need not exist yet
    std::string privateKeyPem;     // Ed25519, PKCS #8
    std::string keyId;
    std::chrono::seconds validity{600}; // from issuedAt to expiresAt
    std::function<std::chrono::system_clock::time_point()> clock = std::chrono::system_clock::now;
};

struct Answer {
    int status = 200;
    std::string body;
    std::chrono::milliseconds delay{0}; // how long the server holds it back
};

// The answer to a GET of `path` (percent-decoded) with the query's decoded items; no
// network involved. Both endpoints insist on the five query items of the installer
// (platform, arch, osVersion, protocolVersion, installerVersion) and answer 400 when one
// is missing or malformed; an unknown path or release id is 404. A release folder or
// control file that cannot be read throws.
Answer answer(const ServiceOptions& options, const std::string& path,
              const std::map<std::string, std::string>& query);

// The service over HTTPS, on threads of its own until stopped or destroyed.
class ReleaseServer {
public:
    // `port` 0 picks a free one. `log` is told of each request ("GET target -> status").
    ReleaseServer(ServiceOptions options, const std::filesystem::path& certFile,
                  const std::filesystem::path& keyFile, int port = 0,
                  const std::string& bind = "127.0.0.1",
                  std::function<void(const std::string&)> log = {});
    ~ReleaseServer();
    ReleaseServer(const ReleaseServer&) = delete;
    ReleaseServer& operator=(const ReleaseServer&) = delete;

    int port() const;
    // The request targets (path and query as sent) received so far, oldest first.
    std::vector<std::string> requests() const;
    // Returns once the server has stopped.
    void wait();
    // Stops accepting and cuts held answers short; idempotent, callable from any thread.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace installer::service
