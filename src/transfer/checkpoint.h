#pragma once

#include "platform/disk_sync.h"
#include "platform/file.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

namespace installer::transfer {

// While a body streams, its bytes are synced and the resume record brought up to them
// once this much has arrived since the last time, or once anything new has waited this
// long; but never within the interval after the body began or after the last round
// began, since on macOS each sync empties the drive's whole cache. A kill or power cut
// costs at most about one interval's bytes.
inline constexpr std::int64_t checkpointBytes = 2 * 1024 * 1024;
inline constexpr std::chrono::milliseconds checkpointInterval{250};
inline constexpr std::chrono::milliseconds checkpointLatest{2000};

// Keeps the record of a body being written up to the bytes on the disk, from a thread
// of its own: the writer only counts, so the socket is read on while the disk syncs.
// Each round takes the count written before its sync began, and records that once the
// sync is done; what arrived meanwhile waits for the next round. The record therefore
// never claims a byte the sync did not cover.
class Checkpointer {
public:
    // What `beforeRename` throws once the body has ended: the record must not take its
    // name then, and that is no failure to report. Not a std::exception, so that a
    // handler of failures in between does not take it for one.
    struct Abandoned {};

    // Stores a record of `synced` bytes, calling `beforeRename` once it is written and
    // synced under its temporary name; what that throws leaves the old record in place.
    // Failures are its own to report; it may let Abandoned pass.
    using Record =
        std::function<void(std::int64_t synced, const std::function<void()>& beforeRename)>;

    // `record` is called on the thread with each count now on the disk; without one, no
    // thread runs and only finish syncs. The file stays open here as long as needed. The
    // thread first sets aside room for the file to grow to `expected` bytes (-1: unknown),
    // so that its syncs never have to find room while the writer waits for them.
    Checkpointer(int fd, std::filesystem::path file, std::int64_t synced, std::int64_t expected,
                 const platform::DiskSync& disk, Record record);
    // Waits for a round still running; one left by finish(false) records nothing more.
    ~Checkpointer() = default;
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // From the writer, after each write: `total` bytes of the file are written.
    void wrote(std::int64_t total);

    // Called once, when the body has ended; returns how many bytes are on the disk for
    // certain. With `syncRest`, waits for the rounds to stop and syncs what they left.
    // Without, returns at once: a round still syncing goes on, but records nothing once
    // this has returned.
    std::int64_t finish(bool syncRest);

private:
    void run(std::stop_token stop, std::int64_t expected);
    bool sync() const;

    const platform::UniqueFd fd_;
    const std::filesystem::path file_;
    const platform::DiskSync& disk_;
    const Record record_;
    std::atomic<std::int64_t> written_;
    std::int64_t synced_; // under mutex_ while the thread runs
    std::int64_t woken_;  // the writer's own: the count it last woke the thread at
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::mutex renaming_;    // held while a record takes its name
    bool abandoned_ = false; // under renaming_
    std::jthread thread_;    // last: stopped and joined before the rest goes
};

} // namespace installer::transfer
