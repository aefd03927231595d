#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace installer::platform {

namespace {

// Deeper structures are kept as Kind::other: nothing the installer reads is nested
// this deep, and converting them would only spend stack on hostile input.
constexpr int maxDepth = 32;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::string takeString(char* raw) {
    std::unique_ptr<char, decltype(&std::free)> owned(raw, &std::free);
    return raw ? std::string(raw) : std::string();
}

PlistValue convert(plist_t node, int depth) {
    PlistValue value;
    if (depth > maxDepth)
        return value;
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char* raw = nullptr;
        plist_get_string_val(node, &raw);
        value.kind = PlistValue::Kind::string;
        value.text = takeString(raw);
        break;
    }
    case PLIST_UINT: {
        std::uint64_t raw = 0;
        plist_get_uint_val(node, &raw);
        value.kind = PlistValue::Kind::integer;
        value.integer = static_cast<std::int64_t>(raw);
        break;
    }
    case PLIST_BOOLEAN: {
        std::uint8_t raw = 0;
        plist_get_bool_val(node, &raw);
        value.kind = PlistValue::Kind::boolean;
        value.boolean = raw != 0;
        break;
    }
    case PLIST_REAL: value.kind = PlistValue::Kind::real; break;
    case PLIST_DATA: value.kind = PlistValue::Kind::data; break;
    case PLIST_DATE: value.kind = PlistValue::Kind::date; break;
    case PLIST_ARRAY: {
        value.kind = PlistValue::Kind::array;
        const std::uint32_t count = plist_array_get_size(node);
        for (std::uint32_t i = 0; i < count; ++i)
            value.items.push_back(convert(plist_array_get_item(node, i), depth + 1));
        break;
    }
    case PLIST_DICT: {
        value.kind = PlistValue::Kind::dictionary;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        std::unique_ptr<void, decltype(&std::free)> ownedIter(iter, &std::free);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            std::string name = takeString(key);
            value.members.emplace_back(std::move(name), convert(item, depth + 1));
        }
        break;
    }
    default: break;
    }
    return value;
}

} // namespace

const PlistValue* PlistValue::find(std::string_view key) const {
    for (const auto& [name, member] : members)
        if (name == key)
            return &member;
    return nullptr;
}

PlistValue parsePropertyList(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
        throw PropertyListError("无法读取属性列表：数据为空或过大");
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root)
        throw PropertyListError("无法读取属性列表：数据格式无效");
    return convert(root.get(), 0);
}

} // namespace installer::platform
