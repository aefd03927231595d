#pragma once

#include "install/tool_runner.h"

#include <string>
#include <vector>

namespace installer::install {

// The macOS tools of the transaction, found in one folder ("/usr/bin" in production).
class SystemTools {
public:
    explicit SystemTools(std::string folder) : folder_(std::move(folder)) {}
    std::string operator()(const char* tool, const std::vector<std::string>& args) const {
        return run(folder_ + "/" + tool, args);
    }

private:
    std::string folder_;
};

} // namespace installer::install
