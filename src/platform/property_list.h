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
    std::string text;              // string (UTF-8), data (its bytes)
    std::uint64_t integer = 0;     // integer: its magnitude, from -2^63 up to 2^64 - 1
    bool negative = false;         // integer below zero
    bool boolean = false;          // boolean
    double real = 0;               // real; date: seconds since 2001-01-01T00:00:00Z
    std::vector<PlistValue> items; // array
    std::vector<Member> members;   // dictionary, in stored order, repeated keys kept

    bool isDictionary() const { return kind == Kind::dictionary; }
    // The member of a dictionary with this key, or null. A key stored twice means its
    // last value, as the system's own reader takes it.
    const PlistValue* find(std::string_view key) const;
};

struct PlistValue::Member {
    std::string key;
    PlistValue value;
};

// The data is not a property list, or one beyond what is read here: nested more than
// 64 levels, more nodes or text than the readers' budget, or a reference loop.
class PropertyListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads XML (UTF-8, UTF-16 or UTF-32 with a byte-order mark, or declared ISO-8859-1) and
// binary ("bplist00") property lists. Work stays proportional to the size of the data and
// memory within a fixed budget whatever it holds; anything else is a PropertyListError.
PlistValue parsePropertyList(std::string_view bytes);

} // namespace installer::platform
