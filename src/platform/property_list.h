#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace installer::platform {

// A property list (XML or binary) as plain values, so callers never touch libplist.
struct PlistValue {
    enum class Kind { string, integer, boolean, real, data, date, array, dictionary, other };

    Kind kind = Kind::other;
    std::string text;                                         // string
    std::int64_t integer = 0;                                 // integer (as stored)
    bool boolean = false;                                     // boolean
    std::vector<PlistValue> items;                            // array
    std::vector<std::pair<std::string, PlistValue>> members;  // dictionary, in stored order

    bool isDictionary() const { return kind == Kind::dictionary; }
    // The first member with this key of a dictionary, or null.
    const PlistValue* find(std::string_view key) const;
};

// The data is not a property list this platform can read.
class PropertyListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

PlistValue parsePropertyList(std::string_view bytes);

} // namespace installer::platform
