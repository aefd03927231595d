#include "trust/url.h"

#include "trust/anchored.h"

namespace installer::trust {

namespace {

bool isUnreserved(unsigned char c) {
    return isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelim(unsigned char c) {
    switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')':
    case '*': case '+': case ',': case ';': case '=':
        return true;
    default:
        return false;
    }
}

bool isHex(unsigned char c) { return isAsciiDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// Every character is allowed by `extra` or is unreserved, a sub-delimiter or part of a
// %XX escape.
template <typename Extra>
bool validComponent(std::string_view text, Extra extra) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(static_cast<unsigned char>(text[i + 1])) ||
                !isHex(static_cast<unsigned char>(text[i + 2])))
                return false;
            i += 2;
            continue;
        }
        if (!isUnreserved(c) && !isSubDelim(c) && !extra(c))
            return false;
    }
    return true;
}

bool isPchar(unsigned char c) { return c == ':' || c == '@'; }
bool isQueryChar(unsigned char c) { return isPchar(c) || c == '/' || c == '?'; }

bool validScheme(std::string_view scheme) {
    if (scheme.empty() || !isAsciiAlpha(static_cast<unsigned char>(scheme[0])))
        return false;
    for (const char ch : scheme) {
        const auto c = static_cast<unsigned char>(ch);
        if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

bool splitAuthority(std::string_view authority, Url& url) {
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        if (!validComponent(userinfo, [](unsigned char c) { return c == ':'; }))
            return false;
        const std::size_t colon = userinfo.find(':');
        url.user = std::string(userinfo.substr(0, colon));
        if (colon != std::string_view::npos)
            url.password = std::string(userinfo.substr(colon + 1));
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view rest;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        for (const char ch : host) {
            const auto c = static_cast<unsigned char>(ch);
            if (!isHex(c) && c != ':' && c != '.')
                return false;
        }
        if (host.empty())
            return false;
        rest = authority.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':'))
            return false;
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos)
            rest = authority.substr(colon);
        if (!validComponent(host, [](unsigned char) { return false; }))
            return false;
    }
    if (!rest.empty()) {
        const std::string_view port = rest.substr(1);
        for (const char c : port)
            if (!isAsciiDigit(static_cast<unsigned char>(c)))
                return false;
        if (!port.empty())
            url.port = std::string(port);
    }
    url.host = std::string(host);
    return true;
}

} // namespace

std::optional<Url> parseUrl(std::string_view text) {
    Url url;
    url.text = std::string(text);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || !validScheme(text.substr(0, colon)))
        return std::nullopt;
    url.scheme = std::string(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);

    if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        const std::string_view fragment = rest.substr(hash + 1);
        if (!validComponent(fragment, isQueryChar))
            return std::nullopt;
        url.fragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
        const std::string_view query = rest.substr(question + 1);
        if (!validComponent(query, isQueryChar))
            return std::nullopt;
        url.query = std::string(query);
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const std::size_t slash = rest.find('/');
        url.hasAuthority = true;
        if (!splitAuthority(rest.substr(0, slash), url))
            return std::nullopt;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    if (!validComponent(rest, [](unsigned char c) { return isPchar(c) || c == '/'; }))
        return std::nullopt;
    url.path = std::string(rest);
    return url;
}

} // namespace installer::trust
