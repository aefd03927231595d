#include "platform/property_list.h"

#include "platform/property_list_reader.h"

namespace installer::platform {

namespace plist {

void fail() {
    throw PropertyListError("无法读取属性列表：数据格式无效");
}

bool appendUtf8(std::string& out, std::uint32_t point) {
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return false;
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
    return true;
}

} // namespace plist

const PlistValue* PlistValue::find(std::string_view key) const {
    for (auto member = members.rbegin(); member != members.rend(); ++member)
        if (member->key == key)
            return &member->value;
    return nullptr;
}

PlistValue parsePropertyList(std::string_view bytes) {
    if (bytes.starts_with("bplist00"))
        return plist::readBinary(bytes);
    return plist::readXml(bytes);
}

} // namespace installer::platform
