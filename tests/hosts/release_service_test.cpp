// The release service as the installer meets it: HTTPS answers whose manifests verify
// under the installer's own rules, and steering that reaches every outcome.

#include "hosts/fetch.h"
#include "hosts/release_service_host.h"
#include "platform/scope_exit.h"
#include "support/process.h"
#include "trust/base64url.h"
#include "trust/date_time.h"
#include "trust/verify.h"

#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace installer::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

constexpr std::string_view machineQuery =
    "?platform=macos&arch=arm64&osVersion=13.4.0&protocolVersion=1&installerVersion=1.0.5";

std::string resolveTarget() {
    return std::string(service::resolvePath) + std::string(machineQuery);
}
std::string manifestTarget(const std::string& id) {
    return std::string(service::releasesPath) + id + "/manifest" + std::string(machineQuery);
}

class ReleaseServiceTest : public ::testing::Test {
protected:
    TempDir dir;
    TestCA ca = makeTestCA(dir / "ca");
    Signer signer;
    release::Settings settings = settingsFor(signer);
    FakeSystem system = [] {
        FakeSystem machine;
        machine.clock = platform::Clock::now(); // the service signs with the real time
        return machine;
    }();
    Json manifest = validManifest(system);
    ReleaseServiceHost host{ca, signer};

    void SetUp() override { host.addRelease(manifest); }
    Reply get(const std::string& target) const {
        return fetchTrusting(host.url(target), ca.caFile.string());
    }

    // What verification makes of an answer at this moment: "ok <releaseId> <artifactId>",
    // or its error.
    std::string verified(const Reply& reply) {
        system.clock = platform::Clock::now();
        try {
            const release::ResolveResponse response = release::decodeResolveResponse(reply.body);
            if (!response.data.manifest)
                return "no manifest";
            const release::Manifest manifest =
                trust::verify(*response.data.manifest, settings, system);
            return "ok " + manifest.releaseId + " " + manifest.package.artifactId;
        } catch (const std::exception& error) {
            return error.what();
        }
    }
};

TEST_F(ReleaseServiceTest, AnswersCarryFreshlySignedManifestsThatVerify) {
    for (const std::string& target : {resolveTarget(), manifestTarget("rel_2026-01")}) {
        const Reply reply = get(target);
        ASSERT_EQ(reply.status, 200) << target << ": " << reply.body;
        EXPECT_EQ(reply.headers.at("content-type"), "application/json");
        EXPECT_EQ(verified(reply), "ok rel_2026-01 art-1") << target;

        const auto response = release::decodeResolveResponse(reply.body);
        EXPECT_EQ(response.code, 0);
        EXPECT_TRUE(response.data.updateAvailable);
        const Json payload = Json::parse(trust::decode64(response.data.manifest->payloadBase64url));
        Json expected = manifest;
        expected["issuedAt"] = payload["issuedAt"];
        expected["expiresAt"] = payload["expiresAt"];
        EXPECT_EQ(payload, expected) << "the release file, and only the times, are signed";
        const auto issued = trust::parseInternetDateTime(payload["issuedAt"].get<std::string>());
        ASSERT_TRUE(issued);
        EXPECT_EQ(payload["expiresAt"], internetTime(*issued + 600s));
        EXPECT_LE(std::chrono::abs(*issued - platform::Clock::now()), 2s);
    }
    EXPECT_EQ(host.requests(),
              (std::vector<std::string>{resolveTarget(), manifestTarget("rel_2026-01")}));
}

TEST_F(ReleaseServiceTest, RefusesRequestsTheInstallerShouldNeverSend) {
    const std::string resolve(service::resolvePath);
    const struct {
        std::string target;
        long status;
    } cases[] = {
        {resolve, 400},
        {resolve + "?platform=macos&arch=arm64&osVersion=13.4.0&protocolVersion=1", 400},
        {resolve + "?platform=macos&arch=arm64&osVersion=13.4&protocolVersion=one&"
                   "installerVersion=1.0.5",
         400},
        {manifestTarget("rel_gone"), 404},
        {std::string(service::releasesPath) + "rel_2026-01" + std::string(machineQuery), 404},
        {"/api/site/v1/desktop/releases//manifest" + std::string(machineQuery), 404},
    };
    for (const auto& c : cases)
        EXPECT_EQ(get(c.target).status, c.status) << c.target;
}

TEST_F(ReleaseServiceTest, EachSteeringBendsTheAnswerItNames) {
    Json old = manifest;
    old["releaseId"] = "rel_old";
    old["appVersion"] = "1.0.0";
    host.addRelease(old);

    const auto resolve = [&] { return get(resolveTarget()); };
    const auto recheck = [&] { return get(manifestTarget("rel_2026-01")); };
    const auto decoded = [](const Reply& reply) {
        return release::decodeResolveResponse(reply.body);
    };
    const struct {
        Json steering;
        std::function<void()> check;
    } cases[] = {
        {{{"status", 503}}, [&] { EXPECT_EQ(resolve().status, 503); }},
        {{{"code", 7}}, [&] { EXPECT_EQ(decoded(resolve()).code, 7); }},
        {{{"code", "0"}}, [&] { EXPECT_ANY_THROW(decoded(resolve())); }},
        {{{"updateAvailable", false}, {"reason", "OS_UNSUPPORTED"}},
         [&] {
             const auto response = decoded(resolve());
             EXPECT_FALSE(response.data.updateAvailable);
             EXPECT_EQ(response.data.reason, "OS_UNSUPPORTED");
             EXPECT_TRUE(response.data.manifest);
         }},
        {{{"manifest", false}}, [&] { EXPECT_FALSE(decoded(resolve()).data.manifest); }},
        {{{"manifest", nullptr}},
         [&] {
             const Reply reply = resolve();
             EXPECT_NE(reply.body.find("\"manifest\":null"), std::string::npos);
             EXPECT_FALSE(decoded(reply).data.manifest);
         }},
        {{{"body", "<html>busy</html>"}}, [&] { EXPECT_EQ(resolve().body, "<html>busy</html>"); }},
        {{{"bodyBytes", 128'000}},
         [&] {
             const Reply reply = resolve();
             EXPECT_EQ(reply.body.size(), 128'000u);
             EXPECT_EQ(verified(reply), "ok rel_2026-01 art-1");
         }},
        {{{"bodyBytes", 10}}, [&] { EXPECT_EQ(resolve().body.size(), 10u); }},
        {{{"only", "manifest"}, {"status", 410}},
         [&] {
             EXPECT_EQ(resolve().status, 200);
             EXPECT_EQ(recheck().status, 410);
         }},
        {{{"recheck", {{"artifactId", "art-2"}}}},
         [&] {
             EXPECT_EQ(verified(resolve()), "ok rel_2026-01 art-1");
             EXPECT_EQ(verified(recheck()), "ok rel_2026-01 art-2");
         }},
        {{{"release", "rel_old"}}, [&] { EXPECT_EQ(verified(resolve()), "ok rel_old art-1"); }},
        {{{"patch", {{"channel", "beta"}}}},
         [&] { EXPECT_EQ(verified(resolve()), "发布清单已过期或不兼容"); }},
        {{{"expiresIn", -1}}, [&] { EXPECT_EQ(verified(resolve()), "发布清单已过期或不兼容"); }},
        {{{"issuedIn", -601}}, [&] { EXPECT_EQ(verified(resolve()), "发布清单已过期或不兼容"); }},
        {{{"badSignature", true}}, [&] { EXPECT_EQ(verified(resolve()), "发布签名无效"); }},
        {{{"keyId", "prod-release-v2"}}, [&] { EXPECT_EQ(verified(resolve()), "发布密钥未知"); }},
        {{{"delayMs", 300}},
         [&] {
             const auto start = std::chrono::steady_clock::now();
             EXPECT_EQ(resolve().status, 200);
             EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
         }},
        {Json::object(), [&] { EXPECT_EQ(verified(resolve()), "ok rel_2026-01 art-1"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steering.dump());
        host.steer(c.steering);
        c.check();
    }
    EXPECT_THROW(host.steer({{"stauts", 500}}), std::invalid_argument);
}

TEST_F(ReleaseServiceTest, ResolveSaysWhyNothingIsOffered) {
    host.removeRelease("rel_2026-01");
    EXPECT_EQ(release::decodeResolveResponse(get(resolveTarget()).body).data.reason,
              "NO_STABLE_RELEASE");
    manifest["minOS"] = "14.0";
    host.addRelease(manifest);
    const auto response = release::decodeResolveResponse(get(resolveTarget()).body);
    EXPECT_EQ(response.code, 0);
    EXPECT_FALSE(response.data.updateAvailable);
    EXPECT_EQ(response.data.reason, "OS_UNSUPPORTED");
    EXPECT_FALSE(response.data.manifest);
}

TEST_F(ReleaseServiceTest, TheProgramPrintsItsPortAndFollowsItsControlFile) {
    const std::string key = (dir / "release.pem").string();
    writeFile(key, signer.keys.privateKeyPem);
    const auto out = dir / "service.out";
    const int pid = spawnProcess(
        {RELEASE_SERVICE_BINARY, "--releases", host.releasesFolder().string(), "--key", key,
         "--key-id", signer.keyId, "--cert", ca.certFile.string(), "--cert-key",
         ca.keyFile.string(), "--control", (dir / "control.json").string(), "--port", "0"},
        {}, out.string());
    bool reaped = false;
    const platform::ScopeExit stop([&] {
        if (!reaped)
            waitForChild(pid, 0ms);
    });
    std::string port;
    for (const auto deadline = std::chrono::steady_clock::now() + 5s;
         port.empty() && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(10ms)) {
        const std::string text = readText(out);
        if (text.find('\n') != std::string::npos)
            port = text.substr(0, text.find('\n'));
    }
    ASSERT_FALSE(port.empty()) << readText(out);
    const std::string origin = "https://localhost:" + port;
    const Reply first = fetchTrusting(origin + resolveTarget(), ca.caFile.string());
    EXPECT_EQ(verified(first), "ok rel_2026-01 art-1");

    writeFile(dir / "control.json", R"({"only":"resolve","status":502})");
    EXPECT_EQ(fetchTrusting(origin + resolveTarget(), ca.caFile.string()).status, 502);
    EXPECT_EQ(fetchTrusting(origin + manifestTarget("rel_2026-01"), ca.caFile.string()).status,
              200);

    ::kill(pid, SIGTERM);
    reaped = true;
    EXPECT_EQ(waitForChild(pid, 3s), 0) << readText(out);
}

} // namespace
} // namespace installer::testing
