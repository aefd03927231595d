#pragma once

// Shared by the XML and the binary reader of property_list.cpp; not for other callers.

#include "platform/property_list.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace installer::platform::plist {

// Far deeper than any information dictionary or tool output; it keeps the readers'
// recursion to a few kilobytes of stack whatever the data says.
inline constexpr int maxDepth = 64;

[[noreturn]] void fail();

// What one document may make: a node for each byte of it at most and four times its
// size in text. A binary list may name one object many times over; this keeps the
// tree it unfolds into proportional to the bytes read.
class Budget {
public:
    explicit Budget(std::size_t size) : nodes_(size + 1), text_(4 * size + 4096) {}

    void node() {
        if (nodes_ == 0)
            fail();
        --nodes_;
    }
    void text(std::size_t length) {
        if (length > text_)
            fail();
        text_ -= length;
    }

private:
    std::size_t nodes_;
    std::size_t text_;
};

// False for surrogates and values past U+10FFFF.
bool appendUtf8(std::string& out, std::uint32_t codePoint);

PlistValue readXml(std::string_view bytes);
PlistValue readBinary(std::string_view bytes);

} // namespace installer::platform::plist
