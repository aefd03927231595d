#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace installer::testing {

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Runs a program (no shell) with extra environment variables, feeding nothing on
// standard input, and collects both output streams. Killed after `limit`.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// Starts a program without waiting for it: standard input from /dev/null, standard
// output and error appended to `output` (and standard error to `errors` when given).
// The caller reaps it.
int spawnProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment,
                 const std::string& output = "/dev/null", const std::string& errors = "");

// Waits for a child, but not longer than `limit` (then kills it). Exit status or
// 128 + signal.
int waitForChild(int pid, std::chrono::milliseconds limit);

} // namespace installer::testing
