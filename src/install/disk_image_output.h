#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace installer::install {

// The disk-image tool's property-list output, read as the transaction needs it. Every
// text is taken whole: a value with an embedded NUL names no path, because the tools
// and the file system would see only the part before it.

// The mount point of `hdiutil attach -plist`: the first string "mount-point" of the
// "system-entities" array of dictionaries. "无法挂载安装包" when there is none or the
// output has another shape; the property-list reader's error when it is none.
std::string mountPointOf(std::string_view attachOutput);

// One attached image of `hdiutil info -plist`.
struct AttachedImage {
    std::string imagePath;
    std::vector<std::string> mountPoints; // of its entities, in their order
};

// The "images" of `hdiutil info -plist`. Entries that are not dictionaries or lack a
// string "image-path" are skipped. The reader's error when the output is no property
// list; an empty list when it has no "images" array.
std::vector<AttachedImage> attachedImages(std::string_view infoOutput);

} // namespace installer::install
