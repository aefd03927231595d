#pragma once

#include "platform/event_log.h"
#include "platform/file.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace installer::platform {

struct LogLimits {
    std::size_t lineBytes = 8 * 1024;     // a longer event is cut, line feed included
    std::uintmax_t rotateBytes = 1 << 20; // the file's size when it becomes the previous one
    std::size_t queuedBytes = 1 << 20;    // waiting for the disk; more is dropped and counted
};

// The log file and the one previous file beside it ("<name>.1"), appended to by every
// installer of the user at once. Each line is one write to a descriptor opened for
// appending, so lines of two processes interleave whole. Past its size limit the file
// becomes the previous one, renamed only by whoever still finds it full under its lock,
// so two processes rotating at once lose no more than the older previous file. Anything
// but a regular file at the path (a link, a FIFO, a folder) is not followed: the log is
// then given up, as it is when it cannot be written at all.
class LogFile {
public:
    LogFile(std::filesystem::path path, std::uintmax_t rotateBytes);
    // `line` ends with its line feed. False once the log is given up.
    bool append(std::string_view line);
    std::filesystem::path previousFile() const { return path_.string() + ".1"; }

private:
    bool open();
    bool rotate(std::size_t adding);

    std::filesystem::path path_;
    std::uintmax_t rotateBytes_;
    UniqueFd fd_;
    bool givenUp_ = false;
};

// The diagnostics log in a file. A line is handed with its time to a writer thread of
// the log's own, which stamps it (local time with its offset, process id), cuts it to
// the line limit and appends it, so no caller, the window's thread least of all, ever
// waits for the disk.
class FileEventLog final : public EventLog {
public:
    explicit FileEventLog(std::filesystem::path file, LogLimits limits = {});
    // Writes what is still queued, then stops.
    ~FileEventLog() override = default;

    void write(std::string line) const noexcept override;
    const std::filesystem::path& file() const { return file_; }

private:
    void writeQueued(std::stop_token stop);

    std::filesystem::path file_;
    LogLimits limits_;
    mutable std::mutex mutex_;
    mutable std::condition_variable_any queued_;
    mutable std::deque<std::pair<std::chrono::system_clock::time_point, std::string>> lines_;
    mutable std::size_t queuedBytes_ = 0;
    mutable std::size_t dropped_ = 0;
    std::jthread writer_; // last: it starts once everything it uses exists
};

// "<line>\n", cut to `limit` bytes in all at a character boundary when it is longer.
std::string cutLine(std::string line, std::size_t limit);

} // namespace installer::platform
