#pragma once

#include "release/settings.h"
#include "trust/url.h"

#include <string_view>

namespace installer::trust {

// The one rule for where a package may come from: https, one of the built-in
// download hosts exactly, no credentials, query or fragment, no port but 443.
// Anything else is "下载地址不受信任".
Url trustedURL(std::string_view text, const release::Settings& settings);

} // namespace installer::trust
