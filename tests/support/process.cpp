#include "support/process.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace installer::testing {

namespace {

struct Environment {
    std::vector<std::string> entries;
    std::vector<char*> pointers;
    explicit Environment(const std::map<std::string, std::string>& changes) {
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (!changes.count(entry.substr(0, entry.find('='))))
                entries.push_back(entry);
        }
        for (const auto& [name, value] : changes)
            entries.push_back(name + "=" + value);
        for (auto& e : entries)
            pointers.push_back(e.data());
        pointers.push_back(nullptr);
    }
};

struct Arguments {
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    explicit Arguments(const std::vector<std::string>& argv) : strings(argv) {
        for (auto& a : strings)
            pointers.push_back(a.data());
        pointers.push_back(nullptr);
    }
};

// Starts argv with the file actions, which it consumes; 0 when nothing could be started.
pid_t spawnWith(posix_spawn_file_actions_t& actions, const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& environment) {
    Environment env(environment);
    Arguments args(argv);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, args.pointers[0], &actions, nullptr,
                                      args.pointers.data(), env.pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : 0;
}

} // namespace

int spawnProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment,
                 const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const pid_t pid = spawnWith(actions, argv, environment);
    if (pid == 0)
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
        ::usleep(10'000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment,
                         std::chrono::milliseconds limit) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const pid_t pid = spawnWith(actions, argv, environment);
    ::close(out[1]);
    ::close(err[1]);
    ProcessResult result;
    if (pid == 0) {
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace installer::testing
