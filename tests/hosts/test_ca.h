#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace installer::testing {

// A certificate authority made for one test run, and a server certificate it signed.
struct TestCA {
    std::filesystem::path caFile;    // the authority's certificate (PEM), to trust
    std::filesystem::path certFile;  // the server's certificate (PEM)
    std::filesystem::path keyFile;   // the server's private key (PEM)
};

// A fresh authority and a server certificate for `names` (host names, and addresses
// as IP entries) in `folder`.
TestCA makeTestCA(const std::filesystem::path& folder,
                  const std::vector<std::string>& names = {"localhost", "127.0.0.1"});

} // namespace installer::testing
