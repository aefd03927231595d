// The release service requests against a scripted service: what is asked, and what each
// answer turns into. How a body decodes is the records table's; these are the rules the
// status, the size bound and the answer's fields add.

#include "platform/installer_error.h"
#include "support/fixtures.h"
#include "transfer/release_service.h"
#include "transfer/transfer_error.h"

#include <gtest/gtest.h>

namespace installer::transfer {
namespace {

using Json = nlohmann::ordered_json;
using std::nullopt;

class ReleaseService : public ::testing::Test {
protected:
    testing::FakeSystem system;
    testing::Signer signer;
    release::Settings settings = testing::settingsFor(signer);
    std::vector<std::string> asked;
    HttpAnswer answer;
    std::stop_source stop;

    ServiceClient client() {
        return ServiceClient{system,
                             [this](const std::string& url) {
                                 asked.push_back(url);
                                 return answer;
                             },
                             stop.get_token()};
    }
    // The service's answer, its manifest signed.
    HttpAnswer answered(std::int64_t code, bool available, std::optional<std::string> reason,
                        std::optional<Json> manifest, long status = 200) {
        Json data = {{"updateAvailable", available}};
        data["reason"] = reason ? Json(*reason) : Json(nullptr);
        if (manifest)
            data["manifest"] = Json::parse(signer.envelope(manifest->dump()));
        return {status, Json{{"code", code}, {"data", data}}.dump(), false};
    }
    Json manifest(const char* releaseId = "r-1") {
        Json m = testing::validManifest(system);
        m["releaseId"] = releaseId;
        return m;
    }
    template <typename Call> static std::string outcome(Call call) {
        try {
            return "ok " + call().releaseId;
        } catch (const TransferError& error) {
            return error.cancelled() ? "cancelled" : error.what();
        } catch (const std::exception& error) {
            return error.what();
        }
    }
};

TEST_F(ReleaseService, TheAddressKeepsTheOriginsHostAndPortAndCarriesTheMachinesQuery) {
    const struct {
        std::string processor;
        platform::OSVersion os;
        std::string origin, path, url; // less the versions of the protocol and installer
    } cases[] = {
        {"arm64", {14, 5, 0}, "https://releases.tavelo.example", "/p",
         "https://releases.tavelo.example/p?platform=macos&arch=arm64&osVersion=14.5.0"},
        {"x86_64", {13, 0, 1}, "https://a.example:8443/base/?x=1#frag", "/r",
         "https://a.example:8443/r?platform=macos&arch=x64&osVersion=13.0.1"},
        {"", {15, 10, 20}, "https://[::1]:9443", "/r",
         "https://[::1]:9443/r?platform=macos&arch=x64&osVersion=15.10.20"},
        {"arm64", {14, 5, 0}, "https://r.example", "/a b/%/é/x:y@z",
         "https://r.example/a%20b/%25/%C3%A9/x:y@z?platform=macos&arch=arm64&osVersion=14.5.0"},
    };
    for (const auto& c : cases) {
        system.processor = c.processor;
        system.os = c.os;
        settings.apiOrigin = c.origin;
        EXPECT_EQ(serviceAddress(settings, system).url(c.path),
                  c.url + "&protocolVersion=1&installerVersion=1.0.5");
    }
    for (const char* bad :
         {"http://releases.tavelo.example", "https://user@releases.tavelo.example",
          "HTTPS://releases.tavelo.example", "releases.tavelo.example", "https:/no-host",
          "https://bad host"}) {
        settings.apiOrigin = bad;
        EXPECT_EQ(outcome([&] { return (serviceAddress(settings, system), release::Manifest{}); }),
                  "更新服务未配置")
            << bad;
    }
}

TEST_F(ReleaseService, ResolveAnswersMapToTheirMessages) {
    const std::string unavailable = "版本服务暂不可用，请稍后重试",
                      none = "暂无可安装的稳定版本，请稍后重试";
    Json otherEnvironment = manifest();
    otherEnvironment["environment"] = "sit";
    const struct {
        HttpAnswer answer;
        std::string outcome;
    } cases[] = {
        {answered(0, true, nullopt, manifest()), "ok r-1"},
        {answered(0, true, "OS_UNSUPPORTED", manifest()), "ok r-1"}, // an offered release wins
        {answered(1, true, nullopt, manifest()), none},
        {answered(0, false, "INSTALLER_UPGRADE_REQUIRED", manifest()),
         "请从官网下载新版AI澄翎网盘安装器"},
        {answered(0, false, "installer_upgrade_required", nullopt), none},
        {answered(5, false, "OS_UNSUPPORTED", nullopt),
         "当前系统版本不支持该业务版本，请升级系统后重试"},
        {answered(0, true, nullopt, nullopt), none},
        {answered(0, true, nullopt, manifest(), 201), unavailable},
        {{200, "{}", true}, unavailable}, // past the size limit
        {answered(0, true, nullopt, otherEnvironment), "发布清单已过期或不兼容"},
    };
    const auto resolve = [&] {
        asked.clear();
        return outcome(
            [&] { return resolveRelease(serviceAddress(settings, system), settings, client()); });
    };
    for (const auto& c : cases) {
        answer = c.answer;
        EXPECT_EQ(resolve(), c.outcome) << c.answer.status << " " << c.answer.body;
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].substr(0, asked[0].find('?')),
                  settings.apiOrigin + "/api/site/v1/desktop/releases/resolve");
    }
    // An answer arriving after the run was stopped is a cancellation, whatever it says.
    answer = cases[0].answer;
    stop.request_stop();
    EXPECT_EQ(resolve(), "cancelled");
}

TEST_F(ReleaseService, TheRecheckDemandsTheSameRelease) {
    answer = answered(0, true, nullopt, manifest("rel_2026-12"));
    const auto address = serviceAddress(settings, system);
    const release::Manifest resolved = resolveRelease(address, settings, client());
    const auto change = [&](const char* key, const char* value) {
        Json m = manifest("rel_2026-12");
        m["package"][key] = value;
        return m;
    };
    const std::string changed = "安装版本发生变化，请重试", ok = "ok rel_2026-12 ";
    const struct {
        HttpAnswer answer;
        std::string outcome; // with the package address of the manifest the installation uses
    } cases[] = {
        {answered(0, false, nullopt, manifest("rel_2026-12")), // availability is not looked at
         ok + manifest()["package"]["url"].get<std::string>()},
        {answered(0, true, nullopt, change("url", "https://packages.tavelo.example/other.dmg")),
         ok + "https://packages.tavelo.example/other.dmg"},
        {answered(0, true, nullopt, manifest("rel_2026-13")), changed},
        {answered(0, true, nullopt, change("artifactId", "another")), changed},
        {answered(0, true, nullopt, change("sha256", std::string(64, 'b').c_str())), changed},
        {answered(3, true, nullopt, manifest("rel_2026-12")), "缺少有效安装清单"},
        {answered(0, true, nullopt, nullopt), "缺少有效安装清单"},
        {answered(0, true, nullopt, manifest("rel_2026-12"), 410), "此版本已不可安装，请重新检查"},
    };
    for (const auto& c : cases) {
        answer = c.answer;
        EXPECT_EQ(outcome([&] {
                      release::Manifest fresh = recheckRelease(address, settings, resolved, client());
                      fresh.releaseId += " " + fresh.package.url;
                      return fresh;
                  }),
                  c.outcome)
            << c.answer.body;
    }
    // The same query as the resolve request, the release id in the path.
    const std::string resolveURL = asked.front(), recheckURL = asked.back();
    EXPECT_EQ(recheckURL.substr(0, recheckURL.find('?')),
              "https://releases.tavelo.example/api/site/v1/desktop/releases/rel_2026-12/manifest");
    EXPECT_EQ(recheckURL.substr(recheckURL.find('?')), resolveURL.substr(resolveURL.find('?')));
}

} // namespace
} // namespace installer::transfer
