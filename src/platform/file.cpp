#include "platform/file.h"

#include "platform/scope_exit.h"
#include "platform/system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

namespace {

// Only plain files hold what callers read: a FIFO or a device put at the path by
// someone else could hold the read forever or never end.
void requireRegular(const struct stat& info, std::string_view action,
                    const std::filesystem::path& path) {
    if (S_ISDIR(info.st_mode))
        throwSystemError(EISDIR, action, path);
    if (!S_ISREG(info.st_mode))
        throw SystemError(EINVAL,
                          std::string(action) + "：这不是普通文件（" + path.string() + "）");
}

} // namespace

std::string readFile(const std::filesystem::path& path, std::size_t limit) {
    constexpr std::string_view action = "无法读取文件";
    // Judged before opening, so a device is never opened, and again through the
    // descriptor, since the path may have been replaced in between. O_NONBLOCK keeps a
    // FIFO swapped in from holding the open.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throwSystemError(errno, action, path);
    requireRegular(info, action, path);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        throwSystemError(errno, action, path);
    if (::fstat(fd.get(), &info) != 0)
        throwSystemError(errno, action, path);
    requireRegular(info, action, path);

    std::string content;
    const std::size_t cap = limit + 1;
    char buffer[65536];
    while (content.size() < cap) {
        const std::size_t want = std::min(sizeof buffer, cap - content.size());
        const ssize_t got = ::read(fd.get(), buffer, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throwSystemError(errno, action, path);
        }
        if (got == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    return content;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         const std::function<void(int fd)>& written) {
    constexpr std::string_view action = "无法写入文件";
    std::string temporary = path.string() + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd)
        throwSystemError(errno, action, path);
    bool renamed = false;
    const ScopeExit removeTemporary([&] {
        if (!renamed)
            ::unlink(temporary.c_str());
    });
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t put = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            throwSystemError(errno, action, path);
        }
        done += static_cast<std::size_t>(put);
    }
    if (written)
        written(fd.get());
    if (::close(fd.release()) != 0)
        throwSystemError(errno, action, path);
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        throwSystemError(errno, action, path);
    renamed = true;
}

std::filesystem::path fileURL(const std::string& path) {
    // As the system's file URLs do, an empty path names the current folder; a current
    // folder that is gone leaves the path as it is, for the file operations to refuse.
    std::error_code error;
    std::string text = (path.empty() ? std::filesystem::current_path(error)
                                     : std::filesystem::absolute(path, error))
                           .string();
    if (error)
        text = path;
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

} // namespace installer::platform
