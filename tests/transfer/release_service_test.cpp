// What each answer of a scripted release service turns into; how a body decodes is the
// records table's, these are the rules of the status, the size bound and the fields.

#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "transfer/release_service.h"

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

    ServiceClient client{system,
                         [this](const std::string& url) {
                             asked.push_back(url);
                             return answer;
                         },
                         stop.get_token()};
    // The service's answer, its manifest signed.
    HttpAnswer answered(std::int64_t code, bool available, std::optional<std::string> reason,
                        std::optional<Json> manifest, long status = 200) {
        Json data = {{"updateAvailable", available}};
        data["reason"] = reason ? Json(*reason) : Json(nullptr);
        if (manifest)
            data["manifest"] = Json::parse(signer.envelope(manifest->dump()));
        return {status, Json{{"code", code}, {"data", data}}.dump(), false};
    }
};

TEST_F(ReleaseService, TheAddressKeepsTheOriginsHostAndPortAndCarriesTheMachinesQuery) {
    const struct {
        std::string processor;
        platform::OSVersion os;
        std::string origin, path, url;
    } cases[] = {
        {"arm64", {14, 5, 0}, "https://a.example:8443/base/?x=1#frag", "/r",
         "https://a.example:8443/r?platform=macos&arch=arm64&osVersion=14.5.0"},
        {"x86_64", {13, 10, 20}, "https://[::1]:9443", "/r",
         "https://[::1]:9443/r?platform=macos&arch=x64&osVersion=13.10.20"},
        {"arm64", {14, 5, 0}, "https://r.example", "/a b/%/é/x:y@z",
         "https://r.example/a%20b/%25/%C3%A9/x:y@z?platform=macos&arch=arm64&osVersion=14.5.0"},
    };
    for (const auto& c : cases) {
        system.processor = c.processor;
        system.os = c.os;
        settings.apiOrigin = c.origin;
        EXPECT_EQ(serviceAddress(settings, system).url(c.path),
                  c.url + "&protocolVersion=1&installerVersion=1.0.5")
            << c.origin;
    }
    for (const char* bad :
         {"http://releases.tavelo.example", "https://user@releases.tavelo.example",
          "releases.tavelo.example", "https:/no-host"}) {
        settings.apiOrigin = bad;
        EXPECT_EQ(testing::outcome([&] { serviceAddress(settings, system); }), "更新服务未配置")
            << bad;
    }
}

TEST_F(ReleaseService, EachAnswerGivesTheReleaseOrWhatTheUserReads) {
    const auto address = serviceAddress(settings, system);
    const Json manifest = testing::validManifest(system);
    answer = answered(0, true, nullopt, manifest);
    const release::Manifest resolved = resolveRelease(address, settings, client);
    const auto change = [&](const char* pointer, const std::string& value) {
        Json m = manifest;
        m[Json::json_pointer(pointer)] = value;
        return m;
    };
    const std::string ok = "ok rel_2026-01 " + resolved.package.url,
                      unavailable = "版本服务暂不可用，请稍后重试",
                      none = "暂无可安装的稳定版本，请稍后重试",
                      changed = "安装版本发生变化，请重试", noManifest = "缺少有效安装清单";
    const std::string moved = "https://packages.tavelo.example/moved.dmg";
    const bool resolve = false, recheck = true;
    const struct {
        bool recheck;
        HttpAnswer answer;
        std::string outcome; // with the package address of the manifest the installation uses
    } cases[] = {
        {resolve, answered(0, true, nullopt, manifest), ok},
        {resolve, answered(0, true, "OS_UNSUPPORTED", manifest), ok}, // an offer wins
        {resolve, answered(1, true, nullopt, manifest), none},
        {resolve, answered(0, false, "INSTALLER_UPGRADE_REQUIRED", manifest),
         "请从官网下载新版AI澄翎网盘安装器"},
        {resolve, answered(5, false, "OS_UNSUPPORTED", nullopt),
         "当前系统版本不支持该业务版本，请升级系统后重试"},
        {resolve, answered(0, true, nullopt, nullopt), none},
        {resolve, answered(0, true, nullopt, manifest, 201), unavailable},
        {resolve, {200, "{}", true}, unavailable}, // past the size limit
        {resolve, answered(0, true, nullopt, change("/environment", "sit")),
         "发布清单已过期或不兼容"},
        // The recheck demands the release resolved, and hands on its fresh manifest.
        {recheck, answered(0, true, nullopt, change("/package/url", moved)),
         "ok rel_2026-01 " + moved},
        {recheck, answered(0, true, nullopt, change("/releaseId", "r-2")), changed},
        {recheck, answered(0, true, nullopt, change("/package/sha256", std::string(64, 'b'))),
         changed},
        {recheck, answered(3, true, nullopt, manifest), noManifest},
        {recheck, answered(0, true, nullopt, nullopt), noManifest},
        {recheck, answered(0, true, nullopt, manifest, 410), "此版本已不可安装，请重新检查"},
        {recheck, {200, "{}", true}, "此版本已不可安装，请重新检查"},
    };
    const auto run = [&](bool again) -> std::string {
        asked.clear();
        return testing::outcome([&] {
            const release::Manifest m = again ? recheckRelease(address, settings, resolved, client)
                                              : resolveRelease(address, settings, client);
            return "ok " + m.releaseId + " " + m.package.url;
        });
    };
    for (const auto& c : cases) {
        answer = c.answer;
        EXPECT_EQ(run(c.recheck), c.outcome) << c.recheck << " " << c.answer.body;
        EXPECT_EQ(asked, std::vector{address.url(
                             c.recheck ? "/api/site/v1/desktop/releases/rel_2026-01/manifest"
                                       : "/api/site/v1/desktop/releases/resolve")});
    }
    // An answer arriving after the run was stopped is a cancellation, whatever it says.
    answer = cases[0].answer;
    stop.request_stop();
    EXPECT_EQ(run(resolve), "已取消");
    EXPECT_EQ(run(recheck), "已取消");
}

} // namespace
} // namespace installer::transfer
