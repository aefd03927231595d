#include "platform/file_event_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::platform {

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool lockExclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

// "2026-12-08 07:35:11.123 +0800 [4242] ": when, in the user's own time, and which of
// several installers writing at once.
std::string stamp(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    struct tm local {};
    char text[64] = {};
    if (::localtime_r(&seconds, &local) == nullptr)
        return "? ";
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    const long offset = static_cast<long>(local.tm_gmtoff);
    char rest[48] = {};
    std::snprintf(rest, sizeof rest, ".%03d %c%02ld%02ld [%ld] ", static_cast<int>(millis),
                  offset < 0 ? '-' : '+', std::labs(offset) / 3600, std::labs(offset) / 60 % 60,
                  static_cast<long>(::getpid()));
    return std::string(text, length) + rest;
}

} // namespace

std::string cutLine(std::string line, std::size_t limit) {
    constexpr std::string_view mark = " [cut]";
    if (line.size() + 1 > limit) {
        std::size_t keep = limit > mark.size() + 1 ? limit - mark.size() - 1 : 0;
        // Never half a character: back to the start of the one the cut falls in.
        while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80)
            --keep;
        line.resize(keep);
        line += mark.substr(0, limit > 1 ? std::min(mark.size(), limit - 1) : 0);
    }
    line += '\n';
    return line;
}

LogFile::LogFile(std::filesystem::path path, std::uintmax_t rotateBytes)
    : path_(std::move(path)), rotateBytes_(rotateBytes) {}

bool LogFile::open() {
    // Not following a link, and not waiting for a reader when the path is a FIFO.
    fd_.reset(::open(path_.c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                     0600));
    struct stat info {};
    return fd_ && ::fstat(fd_.get(), &info) == 0 && S_ISREG(info.st_mode);
}

// Under the file's lock, only while the path still names this full file: a process that
// waited for the lock finds the file already rotated and only opens the new one.
bool LogFile::rotate(std::size_t adding) {
    if (!lockExclusive(fd_.get()))
        return false;
    struct stat mine {
    }, named{};
    if (::fstat(fd_.get(), &mine) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
        sameFile(mine, named) &&
        static_cast<std::uintmax_t>(mine.st_size) + adding > rotateBytes_ &&
        ::rename(path_.c_str(), previousFile().c_str()) != 0)
        return false; // the previous file cannot be replaced: the log could only grow
    fd_.reset();      // releases the lock
    return open();
}

bool LogFile::append(std::string_view line) {
    if (givenUp_)
        return false;
    // Another installer may have rotated the file this descriptor writes to.
    struct stat mine {
    }, named{};
    const bool current = fd_ && ::fstat(fd_.get(), &mine) == 0 &&
                         ::lstat(path_.c_str(), &named) == 0 && sameFile(mine, named);
    if (!current && !open()) {
        givenUp_ = true;
        return false;
    }
    if (::fstat(fd_.get(), &mine) != 0 ||
        (static_cast<std::uintmax_t>(mine.st_size) + line.size() > rotateBytes_ &&
         !rotate(line.size()))) {
        givenUp_ = true;
        return false;
    }
    // One write, whole or not at all: a second one for the rest could land after another
    // process's line.
    ssize_t written = -1;
    do {
        written = ::write(fd_.get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    return true;
}

FileEventLog::FileEventLog(std::filesystem::path file, LogLimits limits)
    : file_(std::move(file)), limits_(limits),
      writer_([this](std::stop_token stop) { writeQueued(std::move(stop)); }) {}

void FileEventLog::write(std::string line) const noexcept {
    try {
        // Only the time is taken here; even the local time's rules may have to be read
        // from the disk, so the writer turns it into text.
        const auto now = std::chrono::system_clock::now();
        if (line.size() > limits_.lineBytes)
            line.resize(limits_.lineBytes); // the writer cuts it at a character
        const std::lock_guard lock(mutex_);
        if (queuedBytes_ + line.size() > limits_.queuedBytes) {
            ++dropped_;
            return;
        }
        queuedBytes_ += line.size();
        lines_.emplace_back(now, std::move(line));
        queued_.notify_one();
    } catch (...) { // a line that cannot even be made is one line fewer
    }
}

void FileEventLog::writeQueued(std::stop_token stop) {
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    LogFile file(file_, limits_.rotateBytes);
    for (;;) {
        std::deque<std::pair<std::chrono::system_clock::time_point, std::string>> batch;
        std::size_t dropped = 0;
        {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, stop, [this] { return !lines_.empty(); });
            batch.swap(lines_);
            queuedBytes_ = 0;
            dropped = std::exchange(dropped_, 0);
        }
        if (dropped > 0)
            file.append(cutLine(stamp(std::chrono::system_clock::now()) +
                                    "dropped lines=" + std::to_string(dropped) +
                                    " why=\"the disk kept up too slowly\"",
                                limits_.lineBytes));
        for (const auto& [when, line] : batch)
            file.append(cutLine(stamp(when) + line, limits_.lineBytes));
        if (batch.empty() && stop.stop_requested())
            return;
    }
}

} // namespace installer::platform
