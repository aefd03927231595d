#include "trust/anchored.h"

#include <array>

namespace installer::trust {

std::string_view anchoredBody(std::string_view text) {
    if (text.ends_with("\r\n"))
        return text.substr(0, text.size() - 2);
    static constexpr std::array<std::string_view, 7> terminators = {
        "\n", "\r", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};
    for (const auto terminator : terminators)
        if (text.ends_with(terminator))
            return text.substr(0, text.size() - terminator.size());
    return text;
}

} // namespace installer::trust
