#include "install/disk_image_output.h"

#include "platform/installer_error.h"
#include "platform/property_list.h"

#include <algorithm>

namespace installer::install {

namespace {

using platform::PlistValue;

bool isDictionary(const PlistValue& value) {
    return value.kind == PlistValue::Kind::dictionary;
}

// A string member that can name a path.
const std::string* pathMember(const PlistValue& dictionary, std::string_view key) {
    const PlistValue* value = dictionary.find(key);
    if (!value || value->kind != PlistValue::Kind::string ||
        value->text.find('\0') != std::string::npos)
        return nullptr;
    return &value->text;
}

const PlistValue* arrayMember(const PlistValue& dictionary, std::string_view key) {
    const PlistValue* value = dictionary.find(key);
    return value && value->kind == PlistValue::Kind::array ? value : nullptr;
}

} // namespace

std::string mountPointOf(std::string_view attachOutput) {
    const auto refuse = [] { return InstallerError("无法挂载安装包"); };
    const PlistValue root = platform::parsePropertyList(attachOutput);
    if (!isDictionary(root))
        throw refuse();
    const PlistValue* entities = arrayMember(root, "system-entities");
    if (!entities || !std::all_of(entities->items.begin(), entities->items.end(), isDictionary))
        throw refuse();
    for (const auto& entity : entities->items) {
        const PlistValue* mountPoint = entity.find("mount-point");
        if (!mountPoint || mountPoint->kind != PlistValue::Kind::string)
            continue;
        // Cut at a NUL it would name another folder, which we would list and detach.
        if (const std::string* text = pathMember(entity, "mount-point"))
            return *text;
        throw refuse();
    }
    throw refuse();
}

std::vector<AttachedImage> attachedImages(std::string_view infoOutput) {
    const PlistValue root = platform::parsePropertyList(infoOutput);
    const PlistValue* images = isDictionary(root) ? arrayMember(root, "images") : nullptr;
    std::vector<AttachedImage> found;
    if (!images)
        return found;
    for (const auto& image : images->items) {
        const std::string* path = isDictionary(image) ? pathMember(image, "image-path") : nullptr;
        if (!path)
            continue;
        AttachedImage attached{*path, {}};
        if (const PlistValue* entities = arrayMember(image, "system-entities"))
            for (const auto& entity : entities->items)
                if (const std::string* mountPoint =
                        isDictionary(entity) ? pathMember(entity, "mount-point") : nullptr)
                    attached.mountPoints.push_back(*mountPoint);
        found.push_back(std::move(attached));
    }
    return found;
}

} // namespace installer::install
