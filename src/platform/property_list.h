#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace installer::platform {

// A property list (XML or binary) as plain values. Texts keep their full length: a
// string with a NUL in it stays longer than its prefix and never equals it.
struct PlistValue {
    enum class Kind { string, integer, boolean, real, data, date, array, dictionary, other };
    struct Member;

    Kind kind = Kind::other;
    std::string text;              // string
    std::int64_t integer = 0;      // integer (as stored)
    bool boolean = false;          // boolean
    std::vector<PlistValue> items; // array
    std::vector<Member> members;   // dictionary, in stored order

    bool isDictionary() const { return kind == Kind::dictionary; }
    // The first member with this key of a dictionary, or null.
    const PlistValue* find(std::string_view key) const;
};

struct PlistValue::Member {
    std::string key;
    PlistValue value;
};

// The data is not a property list, or one beyond what is read here: nested more than
// 64 levels, more nodes or text than its size accounts for, or a reference loop.
class PropertyListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads XML ("<?xml", "<plist") and binary ("bplist00") property lists. Work and memory
// stay proportional to the size of the data whatever it holds; anything else is a
// PropertyListError.
PlistValue parsePropertyList(std::string_view bytes);

} // namespace installer::platform
