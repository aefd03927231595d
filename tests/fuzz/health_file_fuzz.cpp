#include "fuzz/fuzz.h"
#include "install/health_file.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = installer::fuzz::text(data, size);
    if (installer::install::confirmsStart(text, "1.4.2", 142))
        installer::fuzz::check(text.find("1.4.2") != std::string::npos,
                               "only the release's own version confirms");
    return 0;
}
