#include "trust/bundle_version.h"

#include "platform/bundle.h"
#include "platform/installer_error.h"
#include "trust/decimal.h"

namespace installer::trust {

BundleVersion bundleVersion(const std::filesystem::path& path, std::string_view expectedID) {
    const auto refuse = [] { return InstallerError("目标不是澄翎网盘应用"); };
    const auto bundle = platform::Bundle::open(path);
    if (!bundle)
        throw refuse();
    const auto identifier = bundle->identifier();
    if (!identifier || *identifier != expectedID)
        throw refuse();
    const auto& info = bundle->info();
    if (info.members.empty())
        throw refuse();
    const auto* shortVersion = info.find("CFBundleShortVersionString");
    if (!shortVersion || shortVersion->kind != platform::PlistValue::Kind::string)
        throw refuse();

    BundleVersion result{shortVersion->text, 0};
    const auto* build = info.find("CFBundleVersion");
    if (build && build->kind == platform::PlistValue::Kind::string &&
        !parseUnsignedDecimal(build->text, result.build))
        result.build = 0;
    return result;
}

} // namespace installer::trust
