#include "fuzz/fuzz.h"
#include "transfer/location.h"

#include <algorithm>

using namespace installer;

namespace {

// The fragment of a reference: after its first '#', when there is one.
std::optional<std::string_view> fragment(std::string_view text) {
    const auto hash = text.find('#');
    return hash == std::string_view::npos ? std::nullopt : std::optional(text.substr(hash + 1));
}

} // namespace

// Input: a base address, a line feed, and the Location a server wrote.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = fuzz::text(data, size);
    const auto split = text.find('\n');
    const std::string_view base =
        split == std::string_view::npos ? "https://cdn.example/a/b?q#f" : text.substr(0, split);
    const std::string_view location =
        split == std::string_view::npos ? text : text.substr(split + 1);
    const auto resolved = transfer::resolveLocation(base, location);
    if (!resolved)
        return 0;
    // The fragment is always the Location's own, never the base's.
    fuzz::check(fragment(*resolved) == fragment(location), "the fragment comes from the Location");
    // A reference that names its scheme keeps it; any other takes the base's.
    const auto colon = location.find_first_of(":/?#");
    const bool ownScheme = colon != std::string_view::npos && colon > 0 && location[colon] == ':';
    const std::string_view scheme =
        ownScheme ? location.substr(0, colon + 1) : base.substr(0, base.find(':') + 1);
    fuzz::check(resolved->starts_with(scheme), "the scheme is the Location's, else the base's");
    // A network-path reference keeps the Location's host; an absolute path the base's.
    if (!ownScheme && location.starts_with("//")) {
        const auto host = location.substr(0, location.find_first_of("/?#", 2));
        fuzz::check(resolved->substr(scheme.size()).starts_with(host),
                    "a network-path reference names its own host");
    }
    // A full address without dot segments is taken as the server wrote it.
    if (ownScheme) {
        std::string_view rest = location.substr(colon + 1);
        if (rest.starts_with("//"))
            rest = rest.substr(std::min(rest.size(), rest.find_first_of("/?#", 2)));
        rest = rest.substr(0, rest.find_first_of("?#"));
        bool dots = false;
        for (std::size_t at = 0; at <= rest.size();) {
            const std::size_t end = std::min(rest.size(), rest.find('/', at));
            const std::string_view segment = rest.substr(at, end - at);
            dots = dots || segment == "." || segment == "..";
            at = end + 1;
        }
        fuzz::check(dots || *resolved == location, "a full address is kept as written");
    }
    return 0;
}
