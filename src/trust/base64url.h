#pragma once

#include <string>
#include <string_view>

namespace installer::trust {

// Base64url text (normally unpadded) to bytes. Anything but the url-safe alphabet,
// padding included, is "签名数据无效".
std::string decode64(std::string_view text);

// The unpadded base64url form of bytes; the inverse of decode64.
std::string encode64(std::string_view bytes);

} // namespace installer::trust
