#include "trust/version.h"

#include "platform/installer_error.h"
#include "trust/anchored.h"
#include "trust/decimal.h"

#include <limits>
#include <string>

namespace installer::trust {

namespace {

// One part of ^(0|[1-9][0-9]*)$.
bool isVersionPart(std::string_view part) {
    if (part.empty() || (part.size() > 1 && part[0] == '0'))
        return false;
    for (const char c : part)
        if (!isAsciiDigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool matchesVersionPattern(std::string_view text) {
    const std::string_view body = anchoredBody(text);
    const std::size_t first = body.find('.');
    if (first == std::string_view::npos)
        return false;
    const std::size_t second = body.find('.', first + 1);
    if (second == std::string_view::npos)
        return false;
    return isVersionPart(body.substr(0, first)) &&
           isVersionPart(body.substr(first + 1, second - first - 1)) &&
           isVersionPart(body.substr(second + 1));
}

} // namespace

Version version(std::string_view text) {
    if (!matchesVersionPattern(text))
        throw InstallerError("版本格式无效");
    Version parts{};
    std::size_t start = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t dot = i + 1 < parts.size() ? text.find('.', start) : text.size();
        // The pattern let a final line terminator through; it stays part of the last
        // piece here, which then does not parse.
        if (!parseDecimalDigits(text.substr(start, dot - start), parts[i]) ||
            parts[i] > std::numeric_limits<std::uint32_t>::max())
            throw InstallerError("版本无效");
        start = dot + 1;
    }
    return parts;
}

int compare(std::string_view a, std::string_view b) {
    const Version left = version(a);
    const Version right = version(b);
    for (std::size_t i = 0; i < left.size(); ++i)
        if (left[i] != right[i])
            return left[i] > right[i] ? 1 : -1;
    return 0;
}

} // namespace installer::trust
