#include "fuzz/fuzz.h"
#include "platform/installer_error.h"
#include "trust/trusted_url.h"

using namespace installer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = fuzz::text(data, size);
    (void)trust::parseUrl(text);
    release::Settings settings;
    settings.downloadHosts = {"cdn.example"};
    try {
        trust::trustedURL(text, settings);
        // Judged apart from the splitter: what is trusted names the host right after
        // the scheme, and only a path or the port may follow it.
        constexpr std::string_view prefix = "https://cdn.example";
        const bool onHost = text.starts_with(prefix);
        const std::string_view rest = onHost ? text.substr(prefix.size()) : "?";
        fuzz::check(onHost && (rest.empty() || rest[0] == '/' || rest[0] == ':'),
                    "trusted addresses are https on the listed host");
    } catch (const InstallerError&) {
    }
    return 0;
}
