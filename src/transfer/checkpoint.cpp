#include "transfer/checkpoint.h"

#include <fcntl.h>

namespace installer::transfer {

using SteadyClock = std::chrono::steady_clock;

Checkpointer::Checkpointer(int fd, std::filesystem::path file, std::int64_t synced,
                           std::int64_t expected, const platform::DiskSync& disk, Record record)
    : fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), file_(std::move(file)), disk_(disk),
      record_(std::move(record)), written_(synced), synced_(synced), woken_(synced) {
    if (record_)
        thread_ = std::jthread(
            [this, expected](std::stop_token stop) { run(std::move(stop), expected); });
}

void Checkpointer::wrote(std::int64_t total) {
    written_.store(total, std::memory_order_relaxed);
    if (total - woken_ < checkpointBytes)
        return;
    woken_ = total;
    // Taken for a moment so the thread cannot miss this between its test and its wait.
    { const std::lock_guard lock(mutex_); }
    wake_.notify_one();
}

bool Checkpointer::sync() const {
    try {
        disk_.sync(fd_.get(), platform::SyncDepth::throughDriveCache, file_);
        return true;
    } catch (const std::exception&) {
        return false; // the record stays where it was; the next round tries again
    }
}

void Checkpointer::run(std::stop_token stop, std::int64_t expected) {
    // Here rather than on the writer's thread: on a busy disk this alone can take 100 ms.
    platform::reserveSpace(fd_.get(), synced_, expected - synced_);
    const auto unsynced = [this] { return written_.load(std::memory_order_relaxed) - synced_; };
    // The first round waits an interval too: a body that arrives whole within it needs
    // no record, and leaves none to remove.
    auto began = SteadyClock::now();
    auto waiting = SteadyClock::now(); // since when the unsynced bytes have waited
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_until(lock, stop, began + checkpointInterval, [] { return false; });
        wake_.wait_until(lock, stop, waiting + checkpointLatest,
                         [&] { return unsynced() >= checkpointBytes; });
        if (stop.stop_requested())
            return;
        const std::int64_t captured = written_.load(std::memory_order_relaxed);
        if (captured == synced_) {
            waiting = SteadyClock::now();
            continue;
        }
        began = waiting = SteadyClock::now();
        lock.unlock();
        const bool stored = sync();
        if (stored) {
            // Only the rename is held against finish: the record's own sync may be slow
            // on a busy disk, and nobody waits for it.
            std::unique_lock renaming(renaming_, std::defer_lock);
            try {
                record_(captured, [&] {
                    renaming.lock();
                    if (abandoned_)
                        throw Abandoned{};
                });
            } catch (const Abandoned&) { // the body ended meanwhile: nothing is left to record
            }
        }
        lock.lock();
        if (stored)
            synced_ = captured;
    }
}

std::int64_t Checkpointer::finish(bool syncRest) {
    if (!syncRest) {
        {
            const std::lock_guard renaming(renaming_);
            abandoned_ = true;
        }
        thread_.request_stop();
        const std::lock_guard lock(mutex_);
        return synced_;
    }
    thread_ = std::jthread();
    const std::int64_t written = written_.load(std::memory_order_relaxed);
    if (written != synced_ && sync())
        synced_ = written;
    return synced_;
}

} // namespace installer::transfer
