#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace installer::platform {

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Reads a regular file (a link to one is followed), but never more than limit + 1
// bytes, so a caller that refuses large files can tell "too large" (size() > limit)
// without holding an arbitrary file in memory. A folder, FIFO, device or socket is
// refused without being read. Errors are SystemError.
std::string readFile(const std::filesystem::path& path, std::size_t limit);

// Replaces the file at path with bytes so that a reader sees the old content or the new,
// never a part: written beside it under a temporary name, then renamed over it.
// `written`, when given, runs on the complete temporary file's descriptor before the
// rename (to sync it, say).
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         const std::function<void(int fd)>& written = {});

// A command-line path as the file URL the system would make of it: absolute against the
// current folder, without a trailing slash. Nothing else is normalised.
std::filesystem::path fileURL(const std::string& path);

} // namespace installer::platform
