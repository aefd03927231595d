// The test authority's certificates as a TLS client judges them, served by nginx.

#include "hosts/fetch.h"
#include "hosts/nginx_host.h"
#include "hosts/test_ca.h"

#include <gtest/gtest.h>

namespace installer::testing {
namespace {

TEST(TestCertificates, ClientsTrustTheTestAuthorityOnlyForTheNamesItVouchedFor) {
    TempDir dir;
    const TestCA ca = makeTestCA(dir / "ca");
    const TestCA stranger = makeTestCA(dir / "stranger");
    std::filesystem::create_directories(dir / "www");
    writeFile(dir / "www" / "hello.txt", "hello");

    const struct {
        const char* what;
        Certificate served;
        std::string host;
        std::string trusted;
        CURLcode expected;
    } cases[] = {
        {"its own certificate by name", ca.server(), "localhost", ca.caFile.string(), CURLE_OK},
        {"its own certificate by address", ca.server(), "127.0.0.1", ca.caFile.string(), CURLE_OK},
        {"the system store alone", ca.server(), "localhost", "", CURLE_PEER_FAILED_VERIFICATION},
        {"a certificate for another name", issueCertificate(ca, "wrong", {"wrong.example"}),
         "localhost", ca.caFile.string(), CURLE_PEER_FAILED_VERIFICATION},
        {"a self-signed certificate", makeSelfSigned(dir / "self"), "localhost", ca.caFile.string(),
         CURLE_PEER_FAILED_VERIFICATION},
        {"another authority's certificate", stranger.server(), "localhost", ca.caFile.string(),
         CURLE_PEER_FAILED_VERIFICATION},
    };
    for (const auto& c : cases) {
        NginxHost host(dir / "www", c.served);
        const Reply reply = fetchTrusting(
            "https://" + c.host + ":" + std::to_string(host.port()) + "/hello.txt", c.trusted);
        EXPECT_EQ(reply.result, c.expected) << c.what << ": " << curl_easy_strerror(reply.result);
        if (c.expected == CURLE_OK) {
            EXPECT_EQ(reply.body, "hello") << c.what;
        }
    }
}

} // namespace
} // namespace installer::testing
