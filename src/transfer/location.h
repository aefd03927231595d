#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace installer::transfer {

// A redirect's Location resolved against the address that answered it, by the reference
// resolution of RFC 3986 and nothing more: no case folding, no percent-decoding, and an
// empty query or fragment stays in the result, so the hop is judged exactly as the server
// wrote it. Nothing when the base is not an absolute URI.
std::optional<std::string> resolveLocation(std::string_view base, std::string_view location);

bool isRedirect(long status);

} // namespace installer::transfer
