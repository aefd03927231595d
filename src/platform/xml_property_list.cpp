// The XML property-list format: one <plist> element holding one value. Only what
// property lists use is read: the prolog (declaration, comments, processing
// instructions, a DOCTYPE without internal subset), the value elements, the five
// predefined entities, character references and CDATA. Each byte is looked at a bounded
// number of times, and nesting is limited, so no input costs more than its length.
// Documents in UTF-16 or UTF-32 (told by their byte-order mark) and ISO-8859-1 (told by
// their declaration) are read as the system's reader reads them: converted to UTF-8
// first.

#include "platform/property_list_reader.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <locale>
#include <optional>
#include <sstream>

namespace installer::platform::plist {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '.' || c == '-';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// Strict UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t point = lead;
        if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            point = lead & 0x07;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            point = lead & 0x0F;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            point = lead & 0x1F;
        } else if (lead >= 0x80) {
            return false;
        }
        if (text.size() - i <= extra)
            return extra == 0;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3F);
        }
        const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (point < least[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += 1 + extra;
    }
    return true;
}

// Units of `width` bytes, big- or little-endian, to UTF-8; surrogate pairs are joined and
// anything else that names no character fails.
std::string fromWideUnits(std::string_view bytes, std::size_t width, bool bigEndian) {
    if (bytes.size() % width != 0)
        fail();
    const auto unit = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < width; ++k) {
            const auto byte =
                static_cast<unsigned char>(bytes[at + (bigEndian ? k : width - 1 - k)]);
            value = value << 8 | byte;
        }
        return value;
    };
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size(); at += width) {
        std::uint32_t point = unit(at);
        if (width == 2 && point >= 0xD800 && point <= 0xDBFF && at + 2 < bytes.size()) {
            const std::uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (!appendUtf8(text, point))
            fail();
    }
    return text;
}

// The encoding named by an XML declaration at the start of the document, if any.
std::string_view declaredEncoding(std::string_view text) {
    // "<?xml-stylesheet" and the like are other processing instructions.
    if (!text.starts_with("<?xml") || text.size() < 6 || !isSpace(text[5]))
        return {};
    const std::size_t end = text.find("?>");
    const std::string_view declaration = text.substr(0, end);
    const std::size_t name = declaration.find("encoding");
    if (name == std::string_view::npos)
        return {};
    std::size_t at = name + 8;
    while (at < declaration.size() && isSpace(declaration[at]))
        ++at;
    if (at >= declaration.size() || declaration[at] != '=')
        fail();
    ++at;
    while (at < declaration.size() && isSpace(declaration[at]))
        ++at;
    if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\''))
        fail();
    const std::size_t close = declaration.find(declaration[at], at + 1);
    if (close == std::string_view::npos)
        fail();
    return declaration.substr(at + 1, close - at - 1);
}

// The document as UTF-8, converted when it is in another encoding the system reads.
std::optional<std::string> convertedToUtf8(std::string_view bytes) {
    if (bytes.starts_with(std::string_view("\x00\x00\xFE\xFF", 4)))
        return fromWideUnits(bytes.substr(4), 4, true);
    if (bytes.starts_with(std::string_view("\xFF\xFE\x00\x00", 4)))
        return fromWideUnits(bytes.substr(4), 4, false);
    if (bytes.starts_with("\xFE\xFF"))
        return fromWideUnits(bytes.substr(2), 2, true);
    if (bytes.starts_with("\xFF\xFE"))
        return fromWideUnits(bytes.substr(2), 2, false);
    if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    const std::string_view encoding = declaredEncoding(bytes);
    if (equalsIgnoringCase(encoding, "ISO-8859-1") || equalsIgnoringCase(encoding, "latin1")) {
        std::string text;
        text.reserve(bytes.size());
        for (const char c : bytes)
            appendUtf8(text, static_cast<unsigned char>(c));
        return text;
    }
    if (!encoding.empty() && !equalsIgnoringCase(encoding, "UTF-8") &&
        !equalsIgnoringCase(encoding, "US-ASCII") && !equalsIgnoringCase(encoding, "UTF-16"))
        fail();
    if (!isUtf8(bytes))
        fail();
    return std::nullopt;
}

struct Tag {
    std::string_view name;
    bool closing = false; // </name>
    bool empty = false;   // <name/>
};

class XmlReader {
public:
    explicit XmlReader(std::string_view text) : text_(text), budget_(text.size()) {}

    PlistValue read() {
        if (text_.starts_with("\xEF\xBB\xBF"))
            at_ = 3;
        skipMisc();
        const Tag root = tag();
        if (root.closing || root.empty || root.name != "plist")
            fail();
        skipMisc();
        PlistValue value = element(tag(), 1);
        skipMisc();
        const Tag end = tag();
        if (!end.closing || end.name != "plist")
            fail();
        skipMisc();
        if (at_ != text_.size())
            fail();
        return value;
    }

private:
    bool next(std::string_view prefix) const { return text_.substr(at_).starts_with(prefix); }

    void skipPast(std::string_view end) {
        const std::size_t found = text_.find(end, at_);
        if (found == std::string_view::npos)
            fail();
        at_ = found + end.size();
    }

    // White space, comments, processing instructions and a DOCTYPE.
    void skipMisc() {
        for (;;) {
            while (at_ < text_.size() && isSpace(text_[at_]))
                ++at_;
            if (next("<!--"))
                skipPast("-->");
            else if (next("<?"))
                skipPast("?>");
            else if (next("<!DOCTYPE"))
                skipDoctype();
            else
                return;
        }
    }

    // An internal subset could define entities; none is accepted.
    void skipDoctype() {
        for (char quote = 0; at_ < text_.size(); ++at_) {
            const char c = text_[at_];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                fail();
            } else if (c == '>') {
                ++at_;
                return;
            }
        }
        fail();
    }

    std::string_view name() {
        const std::size_t start = at_;
        while (at_ < text_.size() && isNameChar(text_[at_]))
            ++at_;
        if (at_ == start)
            fail();
        return text_.substr(start, at_ - start);
    }

    // Returns whether any white space was there.
    bool skipSpace() {
        const std::size_t start = at_;
        while (at_ < text_.size() && isSpace(text_[at_]))
            ++at_;
        return at_ != start;
    }

    // <name attributes>, <name attributes/> or </name>. Attributes must be well formed,
    // each `name="value"` after white space, and are then ignored.
    Tag tag() {
        Tag tag;
        if (!next("<"))
            fail();
        ++at_;
        if (next("/")) {
            tag.closing = true;
            ++at_;
        }
        tag.name = name();
        for (;;) {
            const bool spaced = skipSpace();
            if (next(">")) {
                ++at_;
                return tag;
            }
            if (next("/>") && !tag.closing) {
                tag.empty = true;
                at_ += 2;
                return tag;
            }
            if (!spaced || tag.closing)
                fail();
            name();
            skipSpace();
            if (!next("="))
                fail();
            ++at_;
            skipSpace();
            if (!next("\"") && !next("'"))
                fail();
            const std::size_t close = text_.find(text_[at_], at_ + 1);
            if (close == std::string_view::npos ||
                text_.substr(at_, close - at_).find('<') != std::string_view::npos)
                fail();
            at_ = close + 1;
        }
    }

    PlistValue element(const Tag& open, int depth) {
        if (open.closing)
            fail();
        budget_.nodes(1);
        PlistValue value;
        const std::string_view name = open.name;
        if (name == "dict" || name == "array") {
            if (depth > maxDepth)
                fail();
            value.kind = name == "dict" ? PlistValue::Kind::dictionary : PlistValue::Kind::array;
            if (!open.empty)
                children(value, depth);
        } else if (name == "true" || name == "false") {
            value.kind = PlistValue::Kind::boolean;
            value.boolean = name == "true";
            if (!open.empty && !content(name).empty())
                fail();
        } else {
            std::string text = open.empty ? std::string() : content(name);
            if (name == "string") {
                value.kind = PlistValue::Kind::string;
                value.text = std::move(text);
            } else if (name == "integer") {
                value.kind = PlistValue::Kind::integer;
                readInteger(value, trimmed(text));
            } else if (name == "real") {
                value.kind = PlistValue::Kind::real;
                value.real = real(trimmed(text));
            } else if (name == "date") {
                value.kind = PlistValue::Kind::date;
                value.real = date(trimmed(text));
            } else if (name == "data") {
                value.kind = PlistValue::Kind::data;
                value.text = base64(text);
            } else {
                fail();
            }
        }
        return value;
    }

    void children(PlistValue& container, int depth) {
        for (;;) {
            skipMisc();
            const Tag child = tag();
            if (child.closing) {
                if (child.name != (container.isDictionary() ? "dict" : "array"))
                    fail();
                return;
            }
            if (!container.isDictionary()) {
                container.items.push_back(element(child, depth + 1));
                continue;
            }
            if (child.name != "key")
                fail();
            std::string key = child.empty ? std::string() : content("key");
            skipMisc();
            PlistValue member = element(tag(), depth + 1);
            container.members.push_back({std::move(key), std::move(member)});
        }
    }

    // The text of a leaf element up to its closing tag, references resolved.
    std::string content(std::string_view name) {
        std::string text;
        for (;;) {
            const std::size_t special = text_.find_first_of("<&", at_);
            if (special == std::string_view::npos)
                fail();
            text.append(text_.substr(at_, special - at_));
            at_ = special;
            if (text_[at_] == '&') {
                reference(text);
            } else if (next("<![CDATA[")) {
                const std::size_t start = at_ + 9;
                skipPast("]]>");
                text.append(text_.substr(start, at_ - 3 - start));
            } else if (next("<!--")) {
                skipPast("-->");
            } else {
                const Tag end = tag();
                if (!end.closing || end.name != name)
                    fail();
                budget_.text(text.size());
                return text;
            }
        }
    }

    void reference(std::string& text) {
        // The longest reference, &#x10FFFF;, is ten characters: looking further would
        // make a run of ampersands cost its length squared.
        const std::size_t semicolon = text_.substr(at_, 10).find(';');
        if (semicolon == std::string_view::npos)
            fail();
        const std::string_view name = text_.substr(at_ + 1, semicolon - 1);
        at_ += semicolon + 1;
        static constexpr std::pair<std::string_view, char> predefined[] = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& [entity, c] : predefined) {
            if (name == entity) {
                text.push_back(c);
                return;
            }
        }
        const bool hex = name.starts_with("#x");
        if (!name.starts_with('#') || name.size() < (hex ? 3u : 2u))
            fail();
        const std::string_view digits = name.substr(hex ? 2 : 1);
        std::uint32_t point = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), point, hex ? 16 : 10);
        if (error != std::errc() || end != digits.data() + digits.size() ||
            !appendUtf8(text, point))
            fail();
    }

    static std::string_view trimmed(std::string_view text) {
        while (!text.empty() && isSpace(text.front()))
            text.remove_prefix(1);
        while (!text.empty() && isSpace(text.back()))
            text.remove_suffix(1);
        return text;
    }

    // Decimal, or hexadecimal after "0x"; from -2^63 up to 2^64 - 1, as the binary form.
    static void readInteger(PlistValue& value, std::string_view text) {
        value.negative = text.starts_with('-');
        if (value.negative || text.starts_with('+'))
            text.remove_prefix(1);
        int base = 10;
        if (text.starts_with("0x") || text.starts_with("0X")) {
            base = 16;
            text.remove_prefix(2);
        }
        const char* last = text.data() + text.size();
        const auto [end, error] = std::from_chars(text.data(), last, value.integer, base);
        if (text.empty() || error != std::errc() || end != last ||
            (value.negative && value.integer > std::uint64_t{1} << 63))
            fail();
        value.negative = value.negative && value.integer != 0;
    }

    // A decimal number with optional fraction and exponent, or an infinity or NaN by name.
    static double real(std::string_view text) {
        const bool minus = text.starts_with('-');
        std::string_view digits = text;
        if (minus || text.starts_with('+'))
            digits.remove_prefix(1);
        for (const std::string_view name : {"inf", "infinity"})
            if (equalsIgnoringCase(digits, name))
                return minus ? -std::numeric_limits<double>::infinity()
                             : std::numeric_limits<double>::infinity();
        if (equalsIgnoringCase(digits, "nan"))
            return std::numeric_limits<double>::quiet_NaN();
        std::size_t at = 0, mantissa = 0;
        const auto run = [&] {
            const std::size_t start = at;
            while (at < digits.size() && digits[at] >= '0' && digits[at] <= '9')
                ++at;
            return at - start;
        };
        mantissa += run();
        if (at < digits.size() && digits[at] == '.') {
            ++at;
            mantissa += run();
        }
        if (mantissa == 0)
            fail();
        if (at < digits.size() && (digits[at] == 'e' || digits[at] == 'E')) {
            ++at;
            if (at < digits.size() && (digits[at] == '+' || digits[at] == '-'))
                ++at;
            if (run() == 0)
                fail();
        }
        if (at != digits.size())
            fail();
        // The stream's classic locale, not the process's: the window's toolkit sets one
        // whose decimal separator may be a comma.
        std::istringstream stream{std::string(text)};
        stream.imbue(std::locale::classic());
        double value = 0;
        stream >> value;
        // The form is already known good: a failure is a value out of range, which the
        // stream reports as the largest finite one, where the system reads an infinity.
        if (stream.fail() && std::abs(value) >= std::numeric_limits<double>::max())
            return minus ? -std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::infinity();
        return value;
    }

    // YYYY-MM-DDTHH:MM:SSZ, as seconds since 2001-01-01T00:00:00Z.
    static double date(std::string_view text) {
        if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
            text[13] != ':' || text[16] != ':' || text[19] != 'Z')
            fail();
        const auto field = [&](std::size_t at, std::size_t width) {
            int value = 0;
            for (std::size_t i = at; i < at + width; ++i) {
                if (text[i] < '0' || text[i] > '9')
                    fail();
                value = value * 10 + (text[i] - '0');
            }
            return value;
        };
        const int year = field(0, 4), month = field(5, 2), day = field(8, 2);
        const int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        if (year < 1 || month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] ||
            hour > 23 || minute > 59 || second > 59)
            fail();
        // Days from the civil date, counted in 400-year eras starting in March.
        const std::int64_t y = year - (month <= 2);
        const std::int64_t era = y / 400;
        const std::int64_t yearOfEra = y - era * 400;
        const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
        const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
        const std::int64_t days = era * 146097 + dayOfEra - 730791; // 2001-01-01 is day 730791
        return static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second);
    }

    // Base64 with white space anywhere; padding may be left off, as writers differ there.
    static std::string base64(std::string_view text) {
        std::string bytes;
        std::uint32_t bits = 0;
        int held = 0, padding = 0;
        for (const char c : text) {
            int value = -1;
            if (c >= 'A' && c <= 'Z')
                value = c - 'A';
            else if (c >= 'a' && c <= 'z')
                value = c - 'a' + 26;
            else if (c >= '0' && c <= '9')
                value = c - '0' + 52;
            else if (c == '+')
                value = 62;
            else if (c == '/')
                value = 63;
            if (isSpace(c))
                continue;
            if (c == '=') {
                ++padding;
                continue;
            }
            if (value < 0 || padding > 0)
                fail();
            bits = bits << 6 | static_cast<std::uint32_t>(value);
            if (++held == 4) {
                bytes.push_back(static_cast<char>(bits >> 16));
                bytes.push_back(static_cast<char>(bits >> 8));
                bytes.push_back(static_cast<char>(bits));
                bits = 0;
                held = 0;
            }
        }
        // Left over: nothing, or two or three symbols that carry one or two bytes.
        if (held == 1 || (held == 0 && padding > 0) ||
            (held > 0 && padding > 0 && held + padding != 4))
            fail();
        if (held >= 2)
            bytes.push_back(static_cast<char>(bits >> (6 * held - 8)));
        if (held == 3)
            bytes.push_back(static_cast<char>(bits >> 2));
        return bytes;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    Budget budget_;
};

} // namespace

PlistValue readXml(std::string_view bytes) {
    const std::optional<std::string> converted = convertedToUtf8(bytes);
    return XmlReader(converted ? std::string_view(*converted) : bytes).read();
}

} // namespace installer::platform::plist
