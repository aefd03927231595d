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

TEST_F(ServiceRequests, ResolveOverHttpsFollowsEachAnswerToItsMessage) {
    const struct {
        Json behaviour;
        std::string outcome;
    } cases[] = {
        {Json::object(), "ok rel_2026-01"},
        {{{"reason", "OS_UNSUPPORTED"}}, "ok rel_2026-01"},
        {{{"updateAvailable", false}, {"reason", "OS_UNSUPPORTED"}}, "当前系统版本不支持该业务版本，请升级系统后重试"},
        {{{"code", 1}, {"reason", "INSTALLER_UPGRADE_REQUIRED"}}, "请从官网下载新版AI澄翎网盘安装器"},
        {{{"manifest", false}}, "暂无可安装的稳定版本，请稍后重试"},
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

TEST_F(ServiceRequests, TheRecheckFetchesTheSameReleaseAgain) {
    const auto address = serviceAddress(settings, system);
    const release::Manifest resolved = resolveRelease(address, settings, client());
    const auto recheck = [&](const release::Manifest& manifest) -> std::string {
        try {
            return "ok " + recheckRelease(address, settings, manifest, client()).package.url;
        } catch (const std::exception& error) {
            return error.what();
        }
    };
    EXPECT_EQ(recheck(resolved), "ok " + resolved.package.url);
    steer({{"recheck", {{"url", "https://packages.tavelo.example/elsewhere.dmg"}}}});
    EXPECT_EQ(recheck(resolved), "ok https://packages.tavelo.example/elsewhere.dmg");
    steer({{"recheck", {{"artifactId", "art-2"}}}});
    EXPECT_EQ(recheck(resolved), "安装版本发生变化，请重试");
    steer({{"code", 7}});
    EXPECT_EQ(recheck(resolved), "缺少有效安装清单");
    steer(Json::object());
    release::Manifest unknown = resolved;
    unknown.releaseId = "rel_gone";
    EXPECT_EQ(recheck(unknown), "此版本已不可安装，请重新检查");
}

} // namespace
} // namespace installer::transfer
