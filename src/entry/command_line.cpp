#include "entry/command_line.h"

#include "platform/installer_error.h"
#include "trust/decimal.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace installer::entry {

ModeChoice chooseMode(const std::vector<std::string>& arguments) {
    const auto verify = std::find(arguments.begin(), arguments.end(), "--verify-manifest");
    if (verify != arguments.end() && verify + 1 != arguments.end())
        return {Mode::verification, *(verify + 1)};
    if (std::find(arguments.begin(), arguments.end(), "--update") != arguments.end())
        return {Mode::update, {}};
    return {Mode::graphical, {}};
}

std::string optionValue(const std::vector<std::string>& arguments, std::string_view option) {
    const auto found = std::find(arguments.begin(), arguments.end(), option);
    if (found == arguments.end() || found + 1 == arguments.end())
        throw InstallerError("安装参数缺失");
    return *(found + 1);
}

int parseWaitPID(std::string_view text) {
    std::int64_t value = 0;
    if (text.empty() || !trust::parseSignedDecimal(text, value) ||
        value > std::numeric_limits<std::int32_t>::max() || value < 2)
        throw InstallerError("进程参数无效");
    return static_cast<int>(value);
}

} // namespace installer::entry
