#include "trust/trusted_url.h"

#include "platform/installer_error.h"

#include <algorithm>

namespace installer::trust {

Url trustedURL(std::string_view text, const release::Settings& settings) {
    const auto refuse = [] { return InstallerError("下载地址不受信任"); };
    auto url = parseUrl(text);
    if (!url)
        throw refuse();
    if (url->scheme != "https")
        throw refuse();
    if (url->user || url->password || url->fragment || url->query)
        throw refuse();
    // The host is compared as written: a percent-escaped spelling of an allowed host
    // is refused rather than decoded into a match.
    const auto& hosts = settings.downloadHosts;
    if (!url->host || std::find(hosts.begin(), hosts.end(), *url->host) == hosts.end())
        throw refuse();
    if (url->port) {
        const std::string_view digits = *url->port;
        const auto first = digits.find_first_not_of('0');
        if (first == std::string_view::npos || digits.substr(first) != "443")
            throw refuse();
    }
    return std::move(*url);
}

} // namespace installer::trust
