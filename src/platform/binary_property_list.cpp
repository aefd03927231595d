// The binary property-list format "bplist00": objects, then a table of their offsets,
// then a 32-byte trailer. Containers hold object numbers, so one object can be named
// from many places, and a hostile list can name its own ancestor. Every offset, count
// and number is checked against the data before it is used.

#include "platform/property_list_reader.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace installer::platform::plist {

namespace {

constexpr std::size_t headerSize = 8;
constexpr std::size_t trailerSize = 32;

class BinaryReader {
public:
    explicit BinaryReader(std::string_view data) : data_(data), budget_(data.size()) {}

    PlistValue read() {
        if (data_.size() < headerSize + 1 + trailerSize)
            fail();
        const std::size_t trailer = data_.size() - trailerSize;
        offsetSize_ = static_cast<unsigned char>(data_[trailer + 6]);
        refSize_ = static_cast<unsigned char>(data_[trailer + 7]);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            fail();
        const std::uint64_t count = number(trailer + 8, 8);
        const std::uint64_t top = number(trailer + 16, 8);
        const std::uint64_t table = number(trailer + 24, 8);
        // Objects lie between the header and the offset table, the table before the
        // trailer.
        if (table < headerSize + 1 || table > trailer || count == 0 ||
            count > (trailer - table) / offsetSize_ || top >= count)
            fail();
        objectsEnd_ = static_cast<std::size_t>(table);
        onPath_.assign(static_cast<std::size_t>(count), false);
        budget_.nodes(1);
        return object(top, 0);
    }

private:
    std::uint64_t number(std::size_t at, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i)
            value = value << 8 | static_cast<unsigned char>(data_[at + i]);
        return value;
    }

    // count units of unitSize bytes start at `at` and end before the offset table.
    void need(std::size_t at, std::uint64_t count, std::size_t unitSize) const {
        if (at > objectsEnd_ || count > (objectsEnd_ - at) / unitSize)
            fail();
    }

    // The count of a data, string or container object: the marker's low nibble, or
    // with 0xF an integer object that follows it.
    std::size_t length(std::size_t& at, unsigned nibble) const {
        if (nibble != 0xF)
            return nibble;
        need(at, 1, 1);
        const auto marker = static_cast<unsigned char>(data_[at]);
        const std::size_t width = std::size_t{1} << (marker & 0xF);
        if (marker >> 4 != 0x1 || width > 8)
            fail();
        need(at + 1, width, 1);
        const std::uint64_t value = number(at + 1, width);
        at += 1 + width;
        // Every unit takes at least a byte, so a count past the data fails `need` later;
        // this keeps it representable until then.
        if (value > objectsEnd_)
            fail();
        return static_cast<std::size_t>(value);
    }

    std::uint64_t reference(std::size_t at) const {
        const std::uint64_t index = number(at, refSize_);
        if (index >= onPath_.size())
            fail();
        return index;
    }

    PlistValue object(std::uint64_t index, int depth) {
        const std::uint64_t start =
            number(objectsEnd_ + static_cast<std::size_t>(index) * offsetSize_, offsetSize_);
        if (start < headerSize || start >= objectsEnd_)
            fail();
        std::size_t at = static_cast<std::size_t>(start);
        const auto marker = static_cast<unsigned char>(data_[at++]);
        const unsigned nibble = marker & 0xF;

        PlistValue value;
        switch (marker >> 4) {
        case 0x0:
            if (nibble == 0x8 || nibble == 0x9) {
                value.kind = PlistValue::Kind::boolean;
                value.boolean = nibble == 0x9;
            } else if (nibble != 0x0) {
                fail();
            }
            break;
        case 0x1:
            value.kind = PlistValue::Kind::integer;
            readInteger(value, at, nibble);
            break;
        case 0x2:
            if (nibble != 2 && nibble != 3)
                fail();
            value.kind = PlistValue::Kind::real;
            value.real = real(at, std::size_t{1} << nibble);
            break;
        case 0x3:
            if (nibble != 3)
                fail();
            value.kind = PlistValue::Kind::date;
            value.real = real(at, 8);
            break;
        case 0x4: {
            // Every count is read into a local first: the read moves `at` past it, and
            // the order in which a call's arguments are evaluated is the compiler's.
            const std::size_t count = length(at, nibble);
            need(at, count, 1);
            value.kind = PlistValue::Kind::data;
            value.text.assign(data_.substr(at, count));
            break;
        }
        case 0x5: {
            const std::size_t count = length(at, nibble);
            need(at, count, 1);
            value.kind = PlistValue::Kind::string;
            value.text.assign(data_.substr(at, count));
            for (const char c : value.text)
                if (static_cast<unsigned char>(c) >= 0x80)
                    fail();
            break;
        }
        case 0x6: {
            const std::size_t units = length(at, nibble);
            value.kind = PlistValue::Kind::string;
            value.text = utf16(at, units);
            break;
        }
        case 0x8:
            need(at, nibble + 1, 1);
            break;
        case 0xA:
        case 0xD: {
            if (depth >= maxDepth || onPath_[index])
                fail();
            const std::size_t count = length(at, nibble);
            const bool dictionary = marker >> 4 == 0xD;
            need(at, count, dictionary ? 2 * refSize_ : refSize_);
            // The children are paid for before their room is reserved: a count the
            // budget cannot cover would fail later anyway, after the reservation.
            budget_.nodes(dictionary ? 2 * count : count);
            onPath_[index] = true;
            if (dictionary)
                readDictionary(value, at, count, depth);
            else
                readArray(value, at, count, depth);
            onPath_[index] = false;
            break;
        }
        case 0xC: {
            // A set: nothing the installer reads, and nothing is unfolded from it.
            const std::size_t count = length(at, nibble);
            need(at, count, refSize_);
            break;
        }
        default:
            fail();
        }
        if (value.kind == PlistValue::Kind::string || value.kind == PlistValue::Kind::data)
            budget_.text(value.text.size());
        return value;
    }

    // One, two and four bytes are unsigned, eight are signed, and sixteen carry a signed
    // 128-bit value of which only the range of the other widths is read.
    void readInteger(PlistValue& value, std::size_t at, unsigned nibble) const {
        if (nibble > 4)
            fail();
        const std::size_t width = std::size_t{1} << nibble;
        need(at, width, 1);
        std::uint64_t bits =
            number(at + width - std::min<std::size_t>(width, 8), std::min<std::size_t>(width, 8));
        bool negative = width == 8 && bits >> 63;
        if (width == 16) {
            const std::uint64_t high = number(at, 8);
            negative = high != 0;
            if (high != 0 && (high != ~std::uint64_t{0} || !(bits >> 63)))
                fail();
        }
        value.negative = negative;
        value.integer = negative ? ~bits + 1 : bits;
    }

    double real(std::size_t at, std::size_t width) const {
        need(at, width, 1);
        const std::uint64_t bits = number(at, width);
        if (width == 4)
            return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        return std::bit_cast<double>(bits);
    }

    void readArray(PlistValue& value, std::size_t at, std::size_t count, int depth) {
        value.kind = PlistValue::Kind::array;
        value.items.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            value.items.push_back(object(reference(at + i * refSize_), depth + 1));
    }

    void readDictionary(PlistValue& value, std::size_t at, std::size_t count, int depth) {
        value.kind = PlistValue::Kind::dictionary;
        value.members.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            PlistValue key = object(reference(at + i * refSize_), depth + 1);
            if (key.kind != PlistValue::Kind::string)
                fail();
            PlistValue member = object(reference(at + (count + i) * refSize_), depth + 1);
            value.members.push_back({std::move(key.text), std::move(member)});
        }
    }

    // Big-endian UTF-16 to UTF-8; a lone surrogate makes the list unreadable.
    std::string utf16(std::size_t at, std::size_t units) const {
        need(at, units, 2);
        std::string text;
        text.reserve(units);
        for (std::size_t i = 0; i < units; ++i) {
            auto point = static_cast<std::uint32_t>(number(at + 2 * i, 2));
            if (point >= 0xD800 && point <= 0xDBFF && i + 1 < units) {
                const auto low = static_cast<std::uint32_t>(number(at + 2 * (i + 1), 2));
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            if (!appendUtf8(text, point))
                fail();
        }
        return text;
    }

    std::string_view data_;
    Budget budget_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::size_t objectsEnd_ = 0; // where the offset table begins
    // Containers being read: naming one again from inside itself is a loop.
    std::vector<bool> onPath_;
};

} // namespace

PlistValue readBinary(std::string_view bytes) {
    return BinaryReader(bytes).read();
}

} // namespace installer::platform::plist
