#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace installer::trust {

// An absolute URI split by RFC 3986. Components are kept as written (no decoding, no
// case folding); an empty query or fragment (a bare '?' or '#') is present and empty.
struct Url {
    std::string text;
    std::string scheme;
    bool hasAuthority = false;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;  // an IP literal without its brackets
    std::optional<std::string> port;  // digits, only when some are written
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

// Nothing when the text is not an absolute URI: no scheme, a character outside the
// URI alphabet (a space, a non-ASCII byte, a control character), a bad percent escape,
// or a component that breaks its grammar.
std::optional<Url> parseUrl(std::string_view text);

} // namespace installer::trust
