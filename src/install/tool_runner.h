#pragma once

#include "platform/event_log.h"

#include <string>
#include <vector>

namespace installer::install {

// Runs one system tool without a shell and returns all it wrote to standard output.
// Its standard error only goes to the log (the last 4 KB of it, with the arguments, the
// status and the duration); environment, working folder and standard input are the
// installer's. A tool that cannot start is a SystemError naming its path; one that ends
// with a non-zero status or a signal is "安装操作失败，请检查权限后重试".
std::string run(const std::string& path, const std::vector<std::string>& args,
                const platform::EventLog& log = platform::noEventLog());

} // namespace installer::install
