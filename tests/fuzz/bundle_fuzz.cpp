#include "fuzz/fuzz.h"
#include "platform/installer_error.h"
#include "trust/bundle_version.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// One bundle folder for the whole run; each input becomes its Info.plist.
struct Bundle {
    fs::path root = fs::temp_directory_path() / ("bundle-fuzz-" + std::to_string(::getpid()));
    fs::path app = root / "AI.app";
    Bundle() { fs::create_directories(app / "Contents"); }
    ~Bundle() { fs::remove_all(root); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Bundle bundle;
    std::ofstream(bundle.app / "Contents/Info.plist", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    try {
        installer::trust::bundleVersion(bundle.app, "com.tavelo.desktop");
    } catch (const installer::InstallerError&) {
    }
    return 0;
}
