#include "install/tool_runner.h"

#include "platform/event_log.h"
#include "platform/file.h"
#include "platform/installer_error.h"
#include "platform/system_error.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace installer::install {

namespace {

struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

constexpr std::size_t keptErrorBytes = 4096;

// Close-on-exec from the start: a tool another thread starts meanwhile must not inherit
// our write end, or our read would wait for that tool to end too.
std::pair<platform::UniqueFd, platform::UniqueFd> makePipe(const std::string& path) {
    int fds[2];
#if defined(__linux__)
    if (::pipe2(fds, O_CLOEXEC) != 0)
        platform::throwSystemError(errno, "无法启动工具", path);
#else
    // No pipe2 here (macOS). The flag follows at once; a tool another thread spawns in
    // between still gets neither end, since every spawn below hands a tool only the
    // three standard descriptors.
    if (::pipe(fds) != 0)
        platform::throwSystemError(errno, "无法启动工具", path);
    for (const int fd : fds)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    return {platform::UniqueFd(fds[0]), platform::UniqueFd(fds[1])};
}

// Reads what is there; false at the end or on an error (kept in `error`).
bool readSome(platform::UniqueFd& fd, std::string& into, int& error) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            return true;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (got < 0)
            error = errno;
        fd.reset();
        return false;
    }
}

void keepTail(std::string& text) {
    if (text.size() > keptErrorBytes)
        text.erase(0, text.size() - keptErrorBytes);
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& arg : args)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

std::string describeStatus(int status) {
    if (WIFEXITED(status))
        return std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "unknown";
}

} // namespace

std::string run(const std::string& path, const std::vector<std::string>& args,
                const platform::EventLog& log) {
    const auto started = std::chrono::steady_clock::now();
    bool logged = false;
    try {
        auto [readEnd, writeEnd] = makePipe(path);
        // The tool's standard error is kept for the log only; what the tool does and
        // what the user is told do not depend on it.
        auto [errorRead, errorWrite] = makePipe(path);
        ::fcntl(errorRead.get(), F_SETFL, ::fcntl(errorRead.get(), F_GETFL) | O_NONBLOCK);

        FileActions files;
        posix_spawn_file_actions_adddup2(&files.actions, writeEnd.get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&files.actions, errorWrite.get(), STDERR_FILENO);
        SpawnAttributes attributes;
#if defined(__APPLE__)
        // Only the three standard descriptors reach the tool, whatever else is open here.
        posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
        posix_spawn_file_actions_addinherit_np(&files.actions, STDIN_FILENO);
#else
        posix_spawn_file_actions_addclosefrom_np(&files.actions, STDERR_FILENO + 1);
#endif

        std::vector<std::string> argvStrings;
        argvStrings.reserve(args.size() + 1);
        argvStrings.push_back(path);
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : argvStrings)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        pid_t pid = 0;
        const int spawned = ::posix_spawn(&pid, path.c_str(), &files.actions,
                                          &attributes.attributes, argv.data(), environ);
        if (spawned != 0)
            platform::throwSystemError(spawned, "无法启动工具", path);
        // Our copies of the write ends must go, or the reads below never see the end.
        writeEnd.reset();
        errorWrite.reset();

        std::string output, errors;
        int readError = 0, ignoredError = 0;
        // Both pipes are drained together, so a tool that fills one is never stuck while
        // we wait on the other. Standard output decides the end, as it always did.
        while (readEnd) {
            pollfd watched[2] = {{readEnd.get(), POLLIN, 0}, {errorRead.get(), POLLIN, 0}};
            if (::poll(watched, errorRead ? 2 : 1, -1) < 0 && errno != EINTR) {
                readError = errno;
                break;
            }
            if (watched[0].revents != 0)
                readSome(readEnd, output, readError);
            if (errorRead && watched[1].revents != 0)
                readSome(errorRead, errors, ignoredError);
            keepTail(errors);
        }
        readEnd.reset();
        // Whatever else holds the error pipe (a program the tool left running) must not
        // hold us: once the tool is gone, what is there is all we keep.
        int status = 0;
        for (;;) {
            const pid_t ended = ::waitpid(pid, &status, errorRead ? WNOHANG : 0);
            if (ended == pid)
                break;
            if (ended < 0 && errno != EINTR)
                platform::throwSystemError(errno, "无法等待工具结束", path);
            if (ended == 0) {
                pollfd watched{errorRead.get(), POLLIN, 0};
                if (::poll(&watched, 1, 100) > 0)
                    readSome(errorRead, errors, ignoredError);
                keepTail(errors);
            }
        }
        if (errorRead)
            readSome(errorRead, errors, ignoredError);
        keepTail(errors);
        platform::Event(log, "tool")
            .with("path", path)
            .with("args", joined(args))
            .with("status", describeStatus(status))
            .with("ms", platform::elapsedMilliseconds(started))
            .with("stdoutBytes", output.size())
            .with("stderr", errors);
        logged = true;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw InstallerError("安装操作失败，请检查权限后重试",
                                 path + " ended with status " + describeStatus(status));
        if (readError != 0)
            platform::throwSystemError(readError, "无法读取工具输出", path);
        return output;
    } catch (...) {
        if (!logged) // it could not be started, or not be waited for
            platform::Event(log, "tool").with("path", path).with("args", joined(args)).withError();
        throw;
    }
}

} // namespace installer::install
