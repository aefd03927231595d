#pragma once

// Hand-made property-list bytes, for the readers' tests.

#include <cstdint>
#include <string>
#include <vector>

namespace installer::testing {

inline std::string bigEndian(std::uint64_t value, int width) {
    std::string bytes;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        bytes.push_back(static_cast<char>(value >> shift));
    return bytes;
}

// A binary property list whose top object is the first; four-byte offsets.
inline std::string binary(const std::vector<std::string>& objects, int refSize = 1) {
    std::string data = "bplist00", table;
    for (const auto& object : objects) {
        table += bigEndian(data.size(), 4);
        data += object;
    }
    const std::size_t tableAt = data.size();
    return data + table + std::string(6, '\0') + char(4) + char(refSize) +
           bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(tableAt, 8);
}

inline std::string repeat(const std::string& text, std::size_t times) {
    std::string repeated;
    repeated.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        repeated += text;
    return repeated;
}

} // namespace installer::testing
