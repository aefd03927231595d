// The small GET of the release service requests, against a loopback HTTPS server.

#include "fault_server.h"
#include "hosts/test_ca.h"
#include "support/temp_dir.h"
#include "transfer/https_get.h"
#include "transfer/transfer_error.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace installer::transfer {
namespace {

using installer::testing::FaultServer;

class HttpsGet : public ::testing::Test {
protected:
    installer::testing::TempDir dir;
    installer::testing::TestCA ca = installer::testing::makeTestCA(dir / "ca");

    GetOptions options(const FaultServer& server) const {
        return {ca.caFile.string(), {"localhost:443:127.0.0.1:" + std::to_string(server.port())}};
    }
};

TEST_F(HttpsGet, BodiesUpToTheLimitArriveWholeAndLargerOnesAreCutOff) {
    for (const std::size_t size : {std::size_t{2}, std::size_t{127'999}, std::size_t{128'000},
                                   std::size_t{3'000'000}}) {
        FaultServer server(ca.certFile, ca.keyFile, std::string(size, 'j'));
        const HttpAnswer answer = httpsGet("https://localhost/file", options(server));
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(answer.bodyTooLarge, size > 127'999) << size;
        EXPECT_EQ(answer.body.size(), size > 127'999 ? answer.body.size() : size);
        EXPECT_LE(answer.body.size(), 127'999u);
    }
}

TEST_F(HttpsGet, RedirectsAreFollowedOnlyToHttpsAndOnlySoFar) {
    FaultServer server(ca.certFile, ca.keyFile, "{}");
    const auto get = [&](const std::string& path) {
        return httpsGet("https://localhost" + path, options(server));
    };
    EXPECT_EQ(get("/chain/3").body, "{}");
    EXPECT_EQ(get("/to/http%3A%2F%2Flocalhost%2Ffile").status, 302);
    const int before = server.requests();
    EXPECT_EQ(get("/loop").status, 302);
    EXPECT_LE(server.requests() - before, 20);
    EXPECT_EQ(get("/status/503").status, 503);
}

TEST_F(HttpsGet, TransportFailuresAndCancellationAreTransferErrors) {
    FaultServer server(ca.certFile, ca.keyFile, "{}");
    GetOptions untrusted = options(server);
    untrusted.caBundle.clear();
    try {
        httpsGet("https://localhost/file", untrusted);
        FAIL() << "a server outside the trust store was believed";
    } catch (const TransferError& error) {
        EXPECT_EQ(error.code(), CURLE_PEER_FAILED_VERIFICATION);
    }
    std::stop_source stop;
    stop.request_stop();
    try {
        httpsGet("https://localhost/stall", options(server), stop.get_token());
        FAIL() << "no cancellation";
    } catch (const TransferError& error) {
        EXPECT_TRUE(error.cancelled());
    }
}

} // namespace
} // namespace installer::transfer
