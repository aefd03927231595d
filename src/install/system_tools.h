#pragma once

#include "install/tool_runner.h"

#include <string>
#include <vector>

namespace installer::install {

// The macOS tools of the transaction, found in one folder ("/usr/bin" in production).
class SystemTools {
public:
    explicit SystemTools(std::string folder, const platform::EventLog& log = platform::noEventLog())
        : folder_(std::move(folder)), log_(log) {}
    std::string operator()(const char* tool, const std::vector<std::string>& args) const {
        return run(folder_ + "/" + tool, args, log_);
    }
    const platform::EventLog& log() const { return log_; }

private:
    std::string folder_;
    const platform::EventLog& log_;
};

} // namespace installer::install
