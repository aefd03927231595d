// Value trees made from the fuzzer's bytes are written by libplist, an independent
// writer, in binary and in XML; both readings must give back the tree exactly.

#include "fuzz/fuzz.h"
#include "platform/property_list.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <plist/plist.h>
#include <string>

using installer::fuzz::check;
using installer::platform::PlistValue;

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return empty() ? 0 : data_[at_++]; }
    std::uint64_t word(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value = value << 8 | byte();
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_, at_ = 0;
};

void appendUtf8(std::string& out, std::uint32_t point) {
    if (point < 0x80) {
        out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | point >> 6));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | point >> 12));
        out.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | point >> 18));
        out.push_back(static_cast<char>(0x80 | (point >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// Printable text from every plane: XML has no room for most control characters.
std::string text(Input& in) {
    std::size_t length = in.byte();
    if (length > 200)
        length = (length - 200) * 16; // up to 880 characters
    std::string out;
    for (std::size_t i = 0; i < length && !in.empty(); ++i) {
        const std::uint8_t kind = in.byte();
        const auto low = static_cast<std::uint32_t>(in.word(2));
        switch (kind % 4) {
        case 0:
            appendUtf8(out, 0x20 + low % 0x5F);
            break;
        case 1:
            appendUtf8(out, 0xA0 + low % (0xD800 - 0xA0));
            break;
        case 2:
            appendUtf8(out, 0xE000 + low % (0xFFFE - 0xE000));
            break;
        default:
            appendUtf8(out, 0x10000 + (static_cast<std::uint32_t>(kind) << 16 | low) % 0xFFFF0);
        }
    }
    return out;
}

plist_t build(Input& in, int depth) {
    const std::uint8_t kind = in.byte();
    switch (depth >= 8 ? kind % 6 : kind % 8) {
    case 0:
        return plist_new_bool(kind >> 7);
    case 1: {
        static constexpr std::uint64_t edges[] = {0,
                                                  14,
                                                  15,
                                                  255,
                                                  256,
                                                  65535,
                                                  65536,
                                                  0xFFFFFFFF,
                                                  0x100000000,
                                                  0x7FFFFFFFFFFFFFFF,
                                                  0x8000000000000000,
                                                  ~0ull};
        const std::uint8_t pick = in.byte();
        return plist_new_uint(pick < 24 ? edges[pick % 12] : in.word(pick % 9));
    }
    case 2: {
        const double value = std::bit_cast<double>(in.word(8));
        return plist_new_real(std::isfinite(value) ? value : 0.5);
    }
    case 3:
        return plist_new_date(static_cast<std::int32_t>(in.word(4)), 0);
    case 4: {
        std::string bytes(in.byte(), '\0');
        for (char& c : bytes)
            c = static_cast<char>(in.byte());
        return plist_new_data(bytes.data(), bytes.size());
    }
    case 5:
        return plist_new_string(text(in).c_str());
    case 6: {
        plist_t array = plist_new_array();
        for (int count = in.byte() % 20; count > 0 && !in.empty(); --count)
            plist_array_append_item(array, build(in, depth + 1));
        return array;
    }
    default: {
        plist_t dictionary = plist_new_dict();
        for (int count = in.byte() % 20; count > 0 && !in.empty(); --count) {
            const std::string key = text(in);
            plist_dict_set_item(dictionary, key.c_str(), build(in, depth + 1));
        }
        return dictionary;
    }
    }
}

// Whether `read` is the value of `node`. libplist keeps integers as 64-bit signed values;
// its XML keeps a real's value but not the sign of a zero.
bool same(const PlistValue& read, plist_t node, bool xml) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return read.kind == PlistValue::Kind::boolean && read.boolean == (value != 0);
    }
    case PLIST_UINT: {
        std::uint64_t bits = 0;
        plist_get_uint_val(node, &bits);
        const bool negative = static_cast<std::int64_t>(bits) < 0;
        return read.kind == PlistValue::Kind::integer && read.negative == negative &&
               read.integer == (negative ? ~bits + 1 : bits);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return read.kind == PlistValue::Kind::real &&
               (xml ? read.real == value
                    : std::bit_cast<std::uint64_t>(read.real) ==
                          std::bit_cast<std::uint64_t>(value));
    }
    case PLIST_DATE: {
        std::int32_t seconds = 0, micro = 0;
        plist_get_date_val(node, &seconds, &micro);
        return read.kind == PlistValue::Kind::date && read.real == seconds;
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return read.kind == PlistValue::Kind::data && read.text == std::string_view(bytes, length);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* chars = plist_get_string_ptr(node, &length);
        return read.kind == PlistValue::Kind::string &&
               read.text == std::string_view(chars, length);
    }
    case PLIST_ARRAY: {
        if (read.kind != PlistValue::Kind::array || read.items.size() != plist_array_get_size(node))
            return false;
        for (std::uint32_t i = 0; i < read.items.size(); ++i)
            if (!same(read.items[i], plist_array_get_item(node, i), xml))
                return false;
        return true;
    }
    case PLIST_DICT: {
        if (read.kind != PlistValue::Kind::dictionary ||
            read.members.size() != plist_dict_get_size(node))
            return false;
        for (const auto& member : read.members) {
            const plist_t value = plist_dict_get_item(node, member.key.c_str());
            if (!value || !same(*read.find(member.key), value, xml))
                return false;
        }
        return true;
    }
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::unique_ptr<void, void (*)(plist_t)> tree(build(in, 0), plist_free);
    for (const bool xml : {false, true}) {
        char* written = nullptr;
        std::uint32_t length = 0;
        (xml ? plist_to_xml : plist_to_bin)(tree.get(), &written, &length);
        const std::unique_ptr<char, void (*)(char*)> owned(written, xml ? plist_to_xml_free
                                                                        : plist_to_bin_free);
        check(written != nullptr, "libplist wrote the tree");
        PlistValue read;
        try {
            read = installer::platform::parsePropertyList(std::string_view(written, length));
        } catch (const installer::platform::PropertyListError&) {
            check(false, xml ? "the XML list is read" : "the binary list is read");
        }
        check(same(read, tree.get(), xml),
              xml ? "the XML list reads as written" : "the binary list reads as written");
    }
    return 0;
}
