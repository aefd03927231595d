#include "trust/verify_file.h"

#include "platform/file.h"
#include "platform/installer_error.h"
#include "platform/system_error.h"
#include "trust/crypto.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::trust {

namespace {

constexpr std::size_t bufferSize = 1024 * 1024;

bool hasPackageShape(const struct stat& info, std::int64_t sizeBytes) {
    return S_ISREG(info.st_mode) && static_cast<std::int64_t>(info.st_size) == sizeBytes;
}

[[noreturn]] void wrongSize() { throw InstallerError("安装包大小无效"); }

} // namespace

void verifyFile(const std::filesystem::path& file, const release::Package& package) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0)
        platform::throwSystemError(errno, "无法读取安装包信息", file);
    if (!hasPackageShape(info, package.sizeBytes))
        wrongSize();

    // The path is checked again through the descriptor: a link or another file put in
    // its place since the check above must not be what gets hashed. O_NONBLOCK keeps a
    // FIFO swapped in from holding the open.
    platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ELOOP)
            wrongSize();
        platform::throwSystemError(errno, "无法打开安装包", file);
    }
    if (::fstat(fd.get(), &info) != 0)
        platform::throwSystemError(errno, "无法读取安装包信息", file);
    if (!hasPackageShape(info, package.sizeBytes))
        wrongSize();
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif

    Sha256 hasher;
    const auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    // A file that grows while it is read stops one byte past the declared size: its
    // digest can no longer match, and an endless writer cannot keep us reading.
    const auto limit = static_cast<std::uint64_t>(package.sizeBytes) + 1;
    std::uint64_t total = 0;
    while (total < limit) {
        const ssize_t got = ::read(fd.get(), buffer.get(), bufferSize);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            platform::throwSystemError(errno, "读取安装包失败", file);
        }
        if (got == 0)
            break;
        hasher.update(buffer.get(), static_cast<std::size_t>(got));
        total += static_cast<std::uint64_t>(got);
    }
    const auto digest = hasher.finish();
    const std::string text =
        hex(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
    if (text != package.sha256)
        throw InstallerError("安装包校验失败");
}

} // namespace installer::trust
