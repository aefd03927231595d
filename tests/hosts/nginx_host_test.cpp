// nginx as the package host of tests: what a download client sees from it.

#include "hosts/fetch.h"
#include "hosts/nginx_host.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>

namespace installer::testing {
namespace {

using namespace std::chrono_literals;

std::string randomContent(std::size_t size) {
    std::mt19937 random(7);
    std::string text(size, '\0');
    for (auto& c : text)
        c = static_cast<char>(random());
    return text;
}

class NginxHostTest : public ::testing::Test {
protected:
    TempDir dir;
    TestCA ca = makeTestCA(dir / "ca");
    std::filesystem::path www = dir / "www";
    std::string content = randomContent(256 * 1024);

    void SetUp() override {
        std::filesystem::create_directories(www);
        writeFile(www / "package.dmg", content);
    }
    Reply get(const NginxHost& host, const std::string& path,
              std::vector<std::string> headers = {}) const {
        FetchOptions options;
        options.caFile = ca.caFile.string();
        options.headers = std::move(headers);
        return fetch(host.url(path), options);
    }
};

TEST_F(NginxHostTest, AnswersRangesAndConditionsAsAStaticHost) {
    NginxHost host(www, ca);
    const Reply plain = get(host, "/package.dmg");
    ASSERT_EQ(plain.status, 200);
    ASSERT_EQ(plain.body, content);
    const std::string etag = plain.headers.at("etag");
    const std::string modified = plain.headers.at("last-modified");

    const struct {
        std::vector<std::string> headers;
        long status;
        std::string body;
    } cases[] = {
        {{"Range: bytes=100-199"}, 206, content.substr(100, 100)},
        {{"Range: bytes=-10"}, 206, content.substr(content.size() - 10)},
        {{"Range: bytes=1000-", "If-Range: " + etag}, 206, content.substr(1000)},
        {{"Range: bytes=1000-", "If-Range: " + modified}, 206, content.substr(1000)},
        {{"Range: bytes=1000-", "If-Range: \"5f0a-40000\""}, 200, content},
        {{"If-None-Match: " + etag}, 304, ""},
    };
    for (const auto& c : cases) {
        const Reply reply = get(host, "/package.dmg", c.headers);
        EXPECT_EQ(reply.status, c.status) << c.headers.back();
        EXPECT_TRUE(reply.body == c.body) << c.headers.back() << ": " << reply.body.size();
    }
    EXPECT_EQ(get(host, "/package.dmg", {"Range: bytes=100-199"}).headers["content-range"],
              "bytes 100-199/262144");
    EXPECT_EQ(get(host, "/package.dmg", {"Range: bytes=262144-"}).status, 416);
    EXPECT_EQ(get(host, "/missing.dmg").status, 404);
}

TEST_F(NginxHostTest, RedirectsAnswerWithTheirLocation) {
    NginxOptions options;
    options.redirects = {{"/old.dmg", "https://elsewhere.example/new.dmg", 302},
                         {"/moved.dmg", "/package.dmg", 301}};
    NginxHost host(www, ca, options);
    const int port = host.port();
    host.addRedirect("/later.dmg", "https://localhost:1/x.dmg", 307);
    EXPECT_EQ(host.port(), port);

    const struct {
        std::string path;
        long status;
        std::string location;
    } cases[] = {
        {"/old.dmg", 302, "https://elsewhere.example/new.dmg"},
        {"/moved.dmg", 301, host.url("/package.dmg")},
        {"/later.dmg", 307, "https://localhost:1/x.dmg"},
    };
    for (const auto& c : cases) {
        Reply reply = get(host, c.path);
        EXPECT_EQ(reply.status, c.status) << c.path;
        EXPECT_EQ(reply.headers["location"], c.location) << c.path;
    }
    EXPECT_THROW(host.addRedirect("/bad", "/x", 200), std::invalid_argument);
}

TEST_F(NginxHostTest, ARateLimitLetsATimeOutCutATransferHalfWayAndARangeFinishIt) {
    NginxOptions limited;
    limited.rateLimit = 128 * 1024;
    NginxHost slow(www, ca, limited);
    FetchOptions impatient;
    impatient.caFile = ca.caFile.string();
    impatient.timeout = 300ms;
    const Reply cut = fetch(slow.url("/package.dmg"), impatient);
    ASSERT_EQ(cut.result, CURLE_OPERATION_TIMEDOUT);
    ASSERT_GT(cut.body.size(), 0u);
    ASSERT_LT(cut.body.size(), content.size());
    EXPECT_EQ(cut.body, content.substr(0, cut.body.size()));

    NginxHost fast(www, ca);
    const Reply rest = get(fast, "/package.dmg",
                           {"Range: bytes=" + std::to_string(cut.body.size()) + "-",
                            "If-Range: " + cut.headers.at("etag")});
    EXPECT_EQ(rest.status, 206);
    EXPECT_TRUE(cut.body + rest.body == content);
}

TEST_F(NginxHostTest, StoppingFreesThePortAndLeavesNoProcess) {
    {
        NginxHost host(www, ca);
        get(host, "/package.dmg", {"Range: bytes=5-9"});
        EXPECT_NE(host.accessLog().find("GET /package.dmg 206 5 range=\"bytes=5-9\""),
                  std::string::npos)
            << host.accessLog();
        host.stop();
        EXPECT_FALSE(host.running());
        EXPECT_EQ(get(host, "/package.dmg").result, CURLE_COULDNT_CONNECT);
        NginxHost other(www, ca);
    }
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
} // namespace installer::testing
