// The release service requests over HTTPS against the release service tool: real TLS,
// real signing at request time, answers bent through its control file.

#include "hosts/test_ca.h"
#include "platform/file.h"
#include "hosts/release_service_host.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "transfer/release_service.h"

#include <gtest/gtest.h>

namespace installer::transfer {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

class ServiceRequests : public ::testing::Test {
protected:
    installer::testing::TempDir dir;
    installer::testing::TestCA ca = installer::testing::makeTestCA(dir / "ca");
    installer::testing::FakeSystem system = [] {
        installer::testing::FakeSystem s;
        s.clock = platform::Clock::now();  // the service signs with the real time
        return s;
    }();
    installer::testing::Signer signer;
    release::Settings settings = installer::testing::settingsFor(signer);
    installer::testing::ReleaseServiceHost service{ca, signer};

    void SetUp() override {
        service.addRelease(installer::testing::validManifest(system));
        settings.apiOrigin = service.origin();
    }
    ServiceClient client() { return serviceClient(system, {ca.caFile.string(), {}}); }
    void steer(const Json& behaviour) { service.steer(behaviour); }

    std::string resolveOutcome() {
        try {
            return "ok " + resolveRelease(serviceAddress(settings, system), settings, client()).releaseId;
        } catch (const std::exception& error) {
            return error.what();
        }
    }
};

// The message table itself is checked against scripted answers; over real TLS what can
// differ is the transport: a verified answer, a failing status, and a body cut off while
// it streams.
TEST_F(ServiceRequests, OverHttpsAnswersReachTheirMessagesAndLongBodiesAreCutOff) {
    const struct {
        Json behaviour;
        std::string outcome;
    } cases[] = {
        {Json::object(), "ok rel_2026-01"},
        {{{"status", 503}}, "版本服务暂不可用，请稍后重试"},
        {{{"bodyBytes", 127'999}}, "not-unavailable"},
        {{{"bodyBytes", 128'000}}, "版本服务暂不可用，请稍后重试"},
        {{{"bodyBytes", 5'000'000}}, "版本服务暂不可用，请稍后重试"},
    };
    for (const auto& c : cases) {
        steer(c.behaviour);
        const std::string outcome = resolveOutcome();
        if (c.outcome == "not-unavailable")  // examined: blanks are no JSON
            EXPECT_NE(outcome, "版本服务暂不可用，请稍后重试") << c.behaviour.dump();
        else
            EXPECT_EQ(outcome, c.outcome) << c.behaviour.dump();
    }
}

} // namespace
} // namespace installer::transfer
