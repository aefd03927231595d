#include "fuzz/fuzz.h"
#include "install/disk_image_output.h"
#include "platform/installer_error.h"
#include "platform/property_list.h"

using namespace installer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto output = fuzz::text(data, size);
    try {
        // Taken as the tool reports it, even empty; but never a path cut short by a NUL.
        const std::string mountPoint = install::mountPointOf(output);
        fuzz::check(mountPoint.find('\0') == std::string::npos, "a mount point is a whole path");
    } catch (const InstallerError&) {
    } catch (const platform::PropertyListError&) {
    }
    try {
        for (const auto& image : install::attachedImages(output))
            fuzz::check(image.imagePath.find('\0') == std::string::npos,
                        "an image path is a whole path");
    } catch (const platform::PropertyListError&) {
    }
    return 0;
}
