#pragma once

#include <filesystem>

namespace installer::testing {

// A certificate authority made for one test by scripts/make-ca (the demo's too), and
// the server certificate it signed for localhost and 127.0.0.1. PEM files.
struct TestCA {
    std::filesystem::path caFile;   // the authority's certificate, for a client to trust
    std::filesystem::path certFile; // the server's certificate
    std::filesystem::path keyFile;  // the server's private key
};

TestCA makeTestCA(const std::filesystem::path& folder);

} // namespace installer::testing
