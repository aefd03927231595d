#pragma once

#include "platform/system.h"
#include "release/records.h"
#include "release/settings.h"
#include "transfer/https_get.h"

#include <functional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace installer::transfer {

// Where one run asks the release service: the origin's scheme, host and port with the
// machine's query items. Only the path differs between the two requests.
struct ServiceAddress {
    std::string origin; // "https://host[:port]"
    std::vector<std::pair<std::string, std::string>> query;

    // The URL of `path` (its characters a path does not allow percent-encoded).
    std::string url(std::string_view path) const;
};

// "更新服务未配置" unless apiOrigin is an https URL with a host and no credentials.
ServiceAddress serviceAddress(const release::Settings& settings, const platform::System& system);

// How the requests reach the service and what verification runs on.
struct ServiceClient {
    const platform::System& system;
    std::function<HttpAnswer(const std::string& url)> get;
    std::stop_token stop;
};

// A client that sends its requests over HTTPS with these options.
ServiceClient serviceClient(const platform::System& system, GetOptions options,
                            std::stop_token stop = {});

// The verified manifest of the release the service offers this machine.
release::Manifest resolveRelease(const ServiceAddress& address, const release::Settings& settings,
                                 const ServiceClient& client);

// The same release fetched again and verified afresh; it must still name the same package.
release::Manifest recheckRelease(const ServiceAddress& address, const release::Settings& settings,
                                 const release::Manifest& resolved, const ServiceClient& client);

} // namespace installer::transfer
