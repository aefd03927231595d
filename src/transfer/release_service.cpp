#include "transfer/release_service.h"

#include "platform/installer_error.h"
#include "transfer/transfer_error.h"
#include "trust/url.h"
#include "trust/verify.h"

namespace installer::transfer {

namespace {

constexpr std::string_view resolvePath = "/api/site/v1/desktop/releases/resolve";
constexpr std::string_view releasesPath = "/api/site/v1/desktop/releases/";

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string percentEncode(std::string_view text, std::string_view alsoAllowed) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (unreserved(c) || alsoAllowed.find(ch) != std::string_view::npos) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// Every answer is looked at only if the run still wants it.
HttpAnswer fetch(const ServiceClient& client, const std::string& url) {
    HttpAnswer answer = client.get(url);
    if (client.stop.stop_requested())
        throw cancellation();
    return answer;
}

std::string answerDetail(std::string_view request, const HttpAnswer& answer) {
    return std::string(request) + " answered status " + std::to_string(answer.status) +
           (answer.bodyTooLarge ? " with a body past the limit" : "");
}

} // namespace

std::string ServiceAddress::url(std::string_view path) const {
    std::string text = origin + percentEncode(path, "/!$&'()*+,;=:@");
    char separator = '?';
    for (const auto& [name, value] : query) {
        text += separator;
        text += percentEncode(name, "") + "=" + percentEncode(value, "");
        separator = '&';
    }
    return text;
}

ServiceAddress serviceAddress(const release::Settings& settings, const platform::System& system) {
    const auto origin = trust::parseUrl(settings.apiOrigin);
    if (!origin || origin->scheme != "https" || origin->user || origin->password || !origin->host ||
        origin->host->empty())
        throw InstallerError("更新服务未配置");
    ServiceAddress address;
    const bool ipv6 = origin->host->find(':') != std::string::npos;
    address.origin = "https://" + (ipv6 ? "[" + *origin->host + "]" : *origin->host);
    if (origin->port)
        address.origin += ":" + *origin->port;
    const platform::OSVersion os = system.osVersion();
    address.query = {
        {"platform", "macos"},
        {"arch", system.processorName() == "arm64" ? "arm64" : "x64"},
        {"osVersion", std::to_string(os.major) + "." + std::to_string(os.minor) + "." +
                          std::to_string(os.patch)},
        {"protocolVersion", "1"},
        {"installerVersion", settings.installerVersion},
    };
    return address;
}

ServiceClient serviceClient(const platform::System& system, GetOptions options,
                            std::stop_token stop) {
    return ServiceClient{system,
                         [options = std::move(options), stop](const std::string& url) {
                             return httpsGet(url, options, stop);
                         },
                         stop};
}

release::Manifest resolveRelease(const ServiceAddress& address, const release::Settings& settings,
                                 const ServiceClient& client) {
    const HttpAnswer answer = fetch(client, address.url(resolvePath));
    if (answer.status != 200 || answer.bodyTooLarge)
        throw InstallerError("版本服务暂不可用，请稍后重试", answerDetail("resolve", answer));
    const release::ResolveResponse response = release::decodeResolveResponse(answer.body);
    if (response.code == 0 && response.data.updateAvailable && response.data.manifest)
        return trust::verify(*response.data.manifest, settings, client.system);
    const auto& reason = response.data.reason;
    const std::string refusal = "resolve refused: code " + std::to_string(response.code) +
                                ", updateAvailable " +
                                (response.data.updateAvailable ? "true" : "false") + ", reason \"" +
                                reason.value_or("").substr(0, 120) + "\"";
    if (reason == "INSTALLER_UPGRADE_REQUIRED")
        throw InstallerError("请从官网下载新版AI澄翎网盘安装器", refusal);
    if (reason == "OS_UNSUPPORTED")
        throw InstallerError("当前系统版本不支持该业务版本，请升级系统后重试", refusal);
    throw InstallerError("暂无可安装的稳定版本，请稍后重试", refusal);
}

release::Manifest recheckRelease(const ServiceAddress& address, const release::Settings& settings,
                                 const release::Manifest& resolved, const ServiceClient& client) {
    const std::string path = std::string(releasesPath) + resolved.releaseId + "/manifest";
    const HttpAnswer answer = fetch(client, address.url(path));
    if (answer.status != 200 || answer.bodyTooLarge)
        throw InstallerError("此版本已不可安装，请重新检查", answerDetail("manifest", answer));
    const release::ResolveResponse response = release::decodeResolveResponse(answer.body);
    if (response.code != 0 || !response.data.manifest)
        throw InstallerError("缺少有效安装清单",
                             "manifest refused: code " + std::to_string(response.code) +
                                 (response.data.manifest ? "" : ", no manifest"));
    release::Manifest fresh = trust::verify(*response.data.manifest, settings, client.system);
    if (fresh.releaseId != resolved.releaseId || fresh.package.sha256 != resolved.package.sha256 ||
        fresh.package.artifactId != resolved.package.artifactId)
        throw InstallerError("安装版本发生变化，请重试", "now " + fresh.releaseId + " " +
                                                             fresh.package.sha256 + " " +
                                                             fresh.package.artifactId);
    return fresh;
}

} // namespace installer::transfer
