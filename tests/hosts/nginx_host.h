#pragma once

#include "hosts/test_ca.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <string>
#include <vector>

namespace installer::testing {

// A static HTTPS host: nginx on a loopback port serving a folder, so ranges, If-Range,
// ETags and redirects behave as a real package host's do. Stopped when destroyed.
class NginxHost {
public:
    struct Redirect {
        std::string from;  // an exact path
        std::string to;    // the Location
        int status = 302;
    };
    struct Options {
        std::vector<Redirect> redirects;
        std::string rateLimit;  // nginx limit_rate value, e.g. "2m"; empty for none
    };

    NginxHost(std::filesystem::path root, const TestCA& ca, Options options = {});
    ~NginxHost();
    NginxHost(const NginxHost&) = delete;
    NginxHost& operator=(const NginxHost&) = delete;

    int port() const { return port_; }
    std::string url(std::string_view path) const;

private:
    TempDir dir_;
    int port_ = 0;
    int pid_ = 0;
};

} // namespace installer::testing
