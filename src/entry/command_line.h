#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace installer::entry {

enum class Mode { verification, update, graphical };

struct ModeChoice {
    Mode mode = Mode::graphical;
    std::string manifestPath;  // verification mode only
};

// --verify-manifest with a following argument wins, then --update anywhere, then the
// window. The program path at position 0 takes part in every search.
ModeChoice chooseMode(const std::vector<std::string>& arguments);

// The argument after the first occurrence of `option`, even if it looks like an
// option itself; "安装参数缺失" when the option is absent or last.
std::string optionValue(const std::vector<std::string>& arguments, std::string_view option);

// A process id: a decimal signed 32-bit integer of at least 2, else "进程参数无效".
int parseWaitPID(std::string_view text);

} // namespace installer::entry
