#include "trust/base64url.h"

#include "platform/installer_error.h"
#include "trust/anchored.h"

#include <array>
#include <limits>

namespace installer::trust {

namespace {

constexpr std::string_view invalidData = "签名数据无效";
constexpr std::string_view standardAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeDecodeTable() {
    std::array<int, 256> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < standardAlphabet.size(); ++i)
        table[static_cast<unsigned char>(standardAlphabet[i])] = static_cast<int>(i);
    return table;
}
constexpr auto decodeTable = makeDecodeTable();

// RFC 4648 base64, strict: length a multiple of 4, '=' only as the final padding,
// nothing outside the standard alphabet.
std::string decodeStandard(std::string_view text) {
    if (text.size() % 4 != 0)
        throw InstallerError(std::string(invalidData));
    std::size_t padding = 0;
    if (text.ends_with("=="))
        padding = 2;
    else if (text.ends_with('='))
        padding = 1;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const char c = text[at + i];
            int value = 0;
            if (c == '=' && last && i >= 4 - padding)
                value = 0;
            else if ((value = decodeTable[static_cast<unsigned char>(c)]) < 0)
                throw InstallerError(std::string(invalidData));
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        const std::size_t count = last ? 3 - padding : 3;
        for (std::size_t i = 0; i < count; ++i)
            bytes.push_back(static_cast<char>(group >> (16 - 8 * i) & 0xFF));
    }
    return bytes;
}

} // namespace

std::string decode64(std::string_view text) {
    if (!matchesAnchored(text, isBase64urlChar, 1, std::numeric_limits<std::size_t>::max()))
        throw InstallerError(std::string(invalidData));
    std::string standard(text);
    for (char& c : standard) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
    }
    standard.append((4 - text.size() % 4) % 4, '=');
    return decodeStandard(standard);
}

std::string encode64(std::string_view bytes) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 3; ++i)
            group = group << 8 | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
        for (std::size_t i = 0; i < count + 1; ++i)
            text.push_back(alphabet[group >> (18 - 6 * i) & 0x3F]);
    }
    return text;
}

} // namespace installer::trust
