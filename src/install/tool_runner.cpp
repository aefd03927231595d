#include "install/tool_runner.h"

#include "platform/file.h"
#include "platform/installer_error.h"
#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
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

} // namespace

std::string run(const std::string& path, const std::vector<std::string>& args) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        platform::throwSystemError(errno, "无法启动工具", path);
    platform::UniqueFd readEnd(pipeFds[0]);
    platform::UniqueFd writeEnd(pipeFds[1]);

    FileActions files;
    posix_spawn_file_actions_adddup2(&files.actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&files.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
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
    const int spawned =
        ::posix_spawn(&pid, path.c_str(), &files.actions, &attributes.attributes, argv.data(), environ);
    if (spawned != 0)
        platform::throwSystemError(spawned, "无法启动工具", path);
    // Our copy of the write end must go, or the read below never sees the end.
    writeEnd.reset();

    std::string output;
    char buffer[65536];
    int readError = 0;
    for (;;) {
        const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            readError = errno;
            break;
        }
    }
    readEnd.reset();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            platform::throwSystemError(errno, "无法等待工具结束", path);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw InstallerError("安装操作失败，请检查权限后重试");
    if (readError != 0)
        platform::throwSystemError(readError, "无法读取工具输出", path);
    return output;
}

} // namespace installer::install
