#include "transfer/location.h"

namespace installer::transfer {

namespace {

// The five components of a URI reference, split as the grammar's generic regular
// expression does; a component that is absent differs from one that is empty.
struct Reference {
    std::optional<std::string_view> scheme, authority;
    std::string_view path;
    std::optional<std::string_view> query, fragment;
};

Reference split(std::string_view text) {
    Reference r;
    if (const auto hash = text.find('#'); hash != std::string_view::npos) {
        r.fragment = text.substr(hash + 1);
        text = text.substr(0, hash);
    }
    if (const auto question = text.find('?'); question != std::string_view::npos) {
        r.query = text.substr(question + 1);
        text = text.substr(0, question);
    }
    if (const auto colon = text.find(':');
        colon != std::string_view::npos && colon > 0 &&
        text.substr(0, colon).find('/') == std::string_view::npos) {
        r.scheme = text.substr(0, colon);
        text = text.substr(colon + 1);
    }
    if (text.starts_with("//")) {
        text.remove_prefix(2);
        const auto slash = text.find('/');
        r.authority = text.substr(0, slash);
        text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
    }
    r.path = text;
    return r;
}

std::string removeDotSegments(std::string_view in) {
    std::string out;
    const auto dropLastSegment = [&out] {
        const auto slash = out.rfind('/');
        out.erase(slash == std::string::npos ? 0 : slash);
    };
    while (!in.empty()) {
        if (in.starts_with("../"))
            in.remove_prefix(3);
        else if (in.starts_with("./"))
            in.remove_prefix(2);
        else if (in.starts_with("/./"))
            in.remove_prefix(2);
        else if (in == "/.")
            in = "/";
        else if (in.starts_with("/../")) {
            in.remove_prefix(3);
            dropLastSegment();
        } else if (in == "/..") {
            in = "/";
            dropLastSegment();
        } else if (in == "." || in == "..")
            in = {};
        else {
            const auto next = in.find('/', 1);
            const auto segment = in.substr(0, next);
            out += segment;
            in.remove_prefix(segment.size());
        }
    }
    return out;
}

} // namespace

std::optional<std::string> resolveLocation(std::string_view baseText, std::string_view location) {
    const Reference base = split(baseText);
    if (!base.scheme)
        return std::nullopt;
    const Reference r = split(location);
    std::string_view scheme = *base.scheme;
    std::optional<std::string_view> authority = base.authority, query = r.query;
    std::string path;
    if (r.scheme) {
        scheme = *r.scheme;
        authority = r.authority;
        path = removeDotSegments(r.path);
    } else if (r.authority) {
        authority = r.authority;
        path = removeDotSegments(r.path);
    } else if (r.path.empty()) {
        path = std::string(base.path);
        if (!query)
            query = base.query;
    } else if (r.path.starts_with('/')) {
        path = removeDotSegments(r.path);
    } else {
        std::string merged;
        if (base.authority && base.path.empty())
            merged = "/";
        else if (const auto slash = base.path.rfind('/'); slash != std::string_view::npos)
            merged = std::string(base.path.substr(0, slash + 1));
        merged += r.path;
        path = removeDotSegments(merged);
    }

    std::string result = std::string(scheme) + ":";
    if (authority)
        result.append("//").append(*authority);
    result += path;
    if (query)
        result.append("?").append(*query);
    if (r.fragment)
        result.append("#").append(*r.fragment);
    return result;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

} // namespace installer::transfer
