#include "fuzz/fuzz.h"
#include "platform/installer_error.h"
#include "trust/base64url.h"

using namespace installer::trust;
using installer::InstallerError;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const std::string bytes = decode64(installer::fuzz::text(data, size));
        installer::fuzz::check(decode64(encode64(bytes)) == bytes, "encode64 inverts decode64");
    } catch (const InstallerError&) {
    }
    return 0;
}
