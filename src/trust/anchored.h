#pragma once

#include <string_view>

namespace installer::trust {

// The part of a text that a pattern written as ^...$ must match. Such patterns follow
// ICU, where `$` also matches just before one line terminator that ends the text
// (LF, CR, CR LF, VT, FF, NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR), so that one
// terminator is left out here. Callers that go on to use the text keep the original:
// the terminator is still there for later checks to trip over.
std::string_view anchoredBody(std::string_view text);

// ^[class]{min,max}$ for an ASCII character class.
template <typename Allowed>
bool matchesAnchored(std::string_view text, Allowed allowed, std::size_t min, std::size_t max) {
    const std::string_view body = anchoredBody(text);
    if (body.size() < min || body.size() > max)
        return false;
    for (const char c : body)
        if (!allowed(static_cast<unsigned char>(c)))
            return false;
    return true;
}

inline bool isAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool isAsciiAlpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool isLowerHex(unsigned char c) { return isAsciiDigit(c) || (c >= 'a' && c <= 'f'); }
inline bool isBase64urlChar(unsigned char c) {
    return isAsciiAlpha(c) || isAsciiDigit(c) || c == '_' || c == '-';
}

} // namespace installer::trust
