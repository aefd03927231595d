#include "update_client.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace tavelo::update {

namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

UpdateStart startUpdate(const UpdateRequest& request) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    Fd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, writeEnd.fd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, request.log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    std::vector<std::string> args = {request.installer.string(),
                                     "--update",
                                     "--manifest",
                                     request.manifest.string(),
                                     "--wait-pid",
                                     std::to_string(::getpid()),
                                     "--package",
                                     request.package.string(),
                                     "--target",
                                     request.target.string()};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    ::close(writeEnd.fd);
    writeEnd.fd = -1;
    if (spawned != 0)
        return {};
    UpdateStart start{false, pid};
    // The installer is not waited for: it must outlive us. Its exit is reaped by init
    // once we are gone.

    const auto deadline = std::chrono::steady_clock::now() + request.readyTimeout;
    std::string line;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return start;
        pollfd fd{readEnd.fd, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return start;
        char buffer[256];
        const ssize_t got = ::read(readEnd.fd, buffer, sizeof buffer);
        if (got <= 0)
            return start; // the installer ended without READY: it refused
        line.append(buffer, static_cast<std::size_t>(got));
        if (line.find('\n') != std::string::npos) {
            start.ready = line.substr(0, line.find('\n')) == "READY";
            return start;
        }
        if (line.size() > 64)
            return start;
    }
}

std::optional<std::string> installerTransaction(const std::vector<std::string>& arguments) {
    constexpr std::string_view prefix = "--installer-transaction=";
    for (const auto& argument : arguments)
        if (argument.starts_with(prefix))
            return argument.substr(prefix.size());
    return std::nullopt;
}

std::filesystem::path healthFilePath(const std::filesystem::path& home,
                                     const std::string& editionFolder, const std::string& id) {
    return home / "Library" / "Application Support" / editionFolder / "update-health" /
           (id + ".json");
}

void writeHealthFile(const std::filesystem::path& file, const std::string& version,
                     std::uint64_t buildNumber, bool ready) {
    std::filesystem::create_directories(file.parent_path());
    std::string escaped;
    for (const char c : version) {
        if (c == '"' || c == '\\')
            escaped.push_back('\\');
        escaped.push_back(c);
    }
    const std::string content = "{\"version\":\"" + escaped +
                                "\",\"buildNumber\":" + std::to_string(buildNumber) +
                                ",\"ready\":" + (ready ? "true" : "false") + "}\n";
    // Built piecewise: GCC 12 warns falsely (-Wrestrict) about the chained "." + ... form.
    std::string temporaryName = ".";
    temporaryName += file.filename().string();
    temporaryName += '.';
    temporaryName += std::to_string(::getpid());
    const std::filesystem::path temporary = file.parent_path() / temporaryName;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), temporary.string());
    const bool written =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
        ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = written ? errno : savedErrno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), file.string());
    }
}

} // namespace tavelo::update
