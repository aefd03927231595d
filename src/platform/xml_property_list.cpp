// The XML property-list format: one <plist> element holding one value. Only what
// property lists use is read: the prolog (declaration, comments, processing
// instructions, a DOCTYPE without internal subset), the value elements, the five
// predefined entities, character references and CDATA. Each byte is looked at a bounded
// number of times, and nesting is limited, so no input costs more than its length.

#include "platform/property_list_reader.h"

#include <charconv>

namespace installer::platform::plist {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '.' || c == '-';
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

    // <name attributes>, <name attributes/> or </name>; attributes are skipped.
    Tag tag() {
        Tag tag;
        if (!next("<"))
            fail();
        ++at_;
        if (next("/")) {
            tag.closing = true;
            ++at_;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() && isNameChar(text_[at_]))
            ++at_;
        tag.name = text_.substr(start, at_ - start);
        if (tag.name.empty())
            fail();
        for (char quote = 0; at_ < text_.size(); ++at_) {
            const char c = text_[at_];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                if (tag.closing)
                    fail();
                quote = c;
            } else if (c == '>') {
                ++at_;
                return tag;
            } else if (c == '/' && !tag.closing && at_ + 1 < text_.size() &&
                       text_[at_ + 1] == '>') {
                tag.empty = true;
                at_ += 2;
                return tag;
            } else if (c == '<' || (tag.closing && !isSpace(c))) {
                fail();
            }
        }
        fail();
    }

    PlistValue element(const Tag& open, int depth) {
        if (open.closing)
            fail();
        budget_.node();
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
                value.integer = integer(text);
            } else if (name == "real") {
                value.kind = PlistValue::Kind::real;
            } else if (name == "date") {
                value.kind = PlistValue::Kind::date;
            } else if (name == "data") {
                value.kind = PlistValue::Kind::data;
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

    static std::int64_t integer(std::string_view text) {
        while (!text.empty() && isSpace(text.front()))
            text.remove_prefix(1);
        while (!text.empty() && isSpace(text.back()))
            text.remove_suffix(1);
        const char* first = text.data();
        const char* last = text.data() + text.size();
        if (text.starts_with('-')) {
            std::int64_t value = 0;
            const auto [end, error] = std::from_chars(first, last, value);
            if (error != std::errc() || end != last)
                fail();
            return value;
        }
        if (text.starts_with('+'))
            ++first;
        // Stored as unsigned up to 2^64 - 1, as the binary form does.
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (first == last || error != std::errc() || end != last)
            fail();
        return static_cast<std::int64_t>(value);
    }

    std::string_view text_;
    std::size_t at_ = 0;
    Budget budget_;
};

} // namespace

PlistValue readXml(std::string_view bytes) {
    return XmlReader(bytes).read();
}

} // namespace installer::platform::plist
