#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace installer::testing {

// A server's certificate and private key, both PEM files.
struct Certificate {
    std::filesystem::path certFile;
    std::filesystem::path keyFile;
};

// A certificate authority made for one test run, and a server certificate it signed.
struct TestCA {
    std::filesystem::path caFile;    // the authority's certificate (PEM), to trust
    std::filesystem::path certFile;  // the server's certificate (PEM)
    std::filesystem::path keyFile;   // the server's private key (PEM)
    std::filesystem::path caKeyFile; // the authority's private key, to issue more

    Certificate server() const { return {certFile, keyFile}; }
};

// A fresh authority (ca.pem, ca.key) and a server certificate (server.pem, server.key)
// for `names` in `folder`: host names become DNS entries, addresses IP entries. Keys are
// EC P-256; everything is valid from an hour ago for two days.
TestCA makeTestCA(const std::filesystem::path& folder,
                  const std::vector<std::string>& names = {"localhost", "127.0.0.1"});

// Another server certificate from the same authority, for `names` only, written beside
// the authority's files as <stem>.pem and <stem>.key. A client that trusts the authority
// still refuses it for any other name, e.g. issueCertificate(ca, "wrong", {"wrong.example"}).
Certificate issueCertificate(const TestCA& ca, std::string_view stem,
                             const std::vector<std::string>& names);

// A certificate that signs itself (self-signed.pem, self-signed.key in `folder`): right
// names, but no authority a client was told to trust vouches for it.
Certificate makeSelfSigned(const std::filesystem::path& folder,
                           const std::vector<std::string>& names = {"localhost", "127.0.0.1"});

} // namespace installer::testing
