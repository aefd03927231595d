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

// Runs a program (no shell, nothing on standard input) with extra environment variables;
// both output streams. Killed after `limit`.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// Starts a program for the caller to reap: input from /dev/null, output and error appended
// to `output` (error to `errors` when given).
int spawnProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment,
                 const std::string& output = "/dev/null", const std::string& errors = "");

// Waits for a child, but not longer than `limit` (then kills it). Exit status or
// 128 + signal.
int waitForChild(int pid, std::chrono::milliseconds limit);

} // namespace installer::testing
