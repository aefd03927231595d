#include "fuzz/fuzz.h"
#include "platform/installer_error.h"
#include "trust/version.h"

#include <string>

using namespace installer::trust;
using installer::InstallerError;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = installer::fuzz::text(data, size);
    try {
        const Version parts = version(text);
        const std::string written = std::to_string(parts[0]) + "." + std::to_string(parts[1]) +
                                    "." + std::to_string(parts[2]);
        installer::fuzz::check(written == text, "an accepted version is its numbers");
        installer::fuzz::check(compare(text, text) == 0, "a version equals itself");
    } catch (const InstallerError&) {
    }
    return 0;
}
