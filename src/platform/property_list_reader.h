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

// What one document may unfold into. An information dictionary has a few thousand nodes
// and well under a megabyte of text; hdiutil's listings are smaller still. The caps sit
// far above that, yet keep a hostile list within tens of megabytes however often a
// binary list names one object, and a node is paid for before its place is reserved.
inline constexpr std::size_t maxNodes = std::size_t{1} << 16;
inline constexpr std::size_t maxText = std::size_t{16} << 20;

class Budget {
public:
    explicit Budget(std::size_t size) : nodes_(size < maxNodes ? size + 1 : maxNodes) {}

    void nodes(std::size_t count) {
        if (count > nodes_)
            fail();
        nodes_ -= count;
    }
    void text(std::size_t length) {
        if (length > text_)
            fail();
        text_ -= length;
    }

private:
    std::size_t nodes_;
    std::size_t text_ = maxText;
};

// False for surrogates and values past U+10FFFF.
bool appendUtf8(std::string& out, std::uint32_t codePoint);

PlistValue readXml(std::string_view bytes);
PlistValue readBinary(std::string_view bytes);

} // namespace installer::platform::plist
