#include "support/process.h"

#include "support/temp_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace installer::testing {

int spawnProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment, const std::string& output,
                 const std::string& errors) {
    // env sets the extra variables and execs the program, so its process id is ours.
    std::vector<std::string> command = {"/usr/bin/env"};
    for (const auto& [name, value] : environment)
        command.push_back(name + "=" + value);
    command.insert(command.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& arg : command)
        args.push_back(arg.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    if (errors.empty())
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed)
        throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

int waitForChild(int pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0)
            return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment,
                         std::chrono::milliseconds limit) {
    // Files, not pipes: a program that leaves a child of its own holding its output (the
    // installer starting the app) is done when it exits, not when that child is.
    const TempDir dir;
    const int pid = spawnProcess(argv, environment, (dir / "out").string(), (dir / "err").string());
    ProcessResult result;
    result.status = waitForChild(pid, limit);
    result.out = readText(dir / "out");
    result.err = readText(dir / "err");
    return result;
}

} // namespace installer::testing
