#pragma once

#include "platform/disk_sync.h"
#include "platform/event_log.h"
#include "release/settings.h"
#include "transfer/checkpoint.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace installer::transfer {

// The largest package a manifest may declare; a body growing past it is cancelled.
inline constexpr std::int64_t maxPackageBytes = 262'144'000;

struct DownloadOptions {
    std::string caBundle;               // added to the system's trust store; empty for none
    std::vector<std::string> connectTo; // "host:port:address:port" routes
    std::chrono::milliseconds dataTimeout = std::chrono::seconds(60);
    std::chrono::milliseconds totalTimeout = std::chrono::seconds(1800);
    // Reports while data flows are coalesced to about this interval; the first, the one
    // passing the size cap and the last of a body are always delivered, and one held back
    // is delivered when its interval is over even if nothing more arrives.
    std::chrono::milliseconds progressInterval = std::chrono::milliseconds(20);
    // Where the body and its record are pushed to the disk.
    const platform::DiskSync* disk = &platform::machineDiskSync();
    // Told the address, each answer, every tenth of the body and the outcome.
    const platform::EventLog* log = &platform::noEventLog();
};

using DownloadResult = std::variant<std::filesystem::path, std::exception_ptr>;
using ProgressCallback = std::function<void(std::int64_t written, std::int64_t expected)>;
using CompletionCallback = std::function<void(DownloadResult)>;

// Fetches one package into `destination` on a thread of its own. Beside the destination
// live "<name>.source" (the address last started), "<name>.resume" (the record of the
// transfer under way or interrupted, kept current while it runs) and "<name>.partial"
// (its bytes). Every redirect hop is judged by the download-host rule on the Location
// as the server wrote it, and the address judged is the one requested; a refused hop ends
// the transfer with its redirect answer, which fails the status test. Callbacks run on
// the transfer's thread, one at a time.
class Download {
public:
    Download(release::Settings config, std::filesystem::path destination, ProgressCallback progress,
             DownloadOptions options = {});
    // Cancels a transfer still running and waits for its completion call: nothing may
    // reach callbacks whose owner is gone.
    ~Download();
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    // Returns at once; `completion` is called once, with the destination or the error.
    // Called once per object.
    void start(const std::string& url, CompletionCallback completion);

    // From any thread, at any moment: the outcome is a cancellation (code -999).
    void cancel();

    std::filesystem::path resumeFile() const { return companion("resume"); }
    std::filesystem::path sourceFile() const { return companion("source"); }
    std::filesystem::path partialFile() const { return companion("partial"); }

private:
    class Transfer;

    std::filesystem::path companion(const char* extension) const;
    void run(std::string url, CompletionCallback completion, std::stop_token stop);

    release::Settings config_;
    std::filesystem::path destination_;
    ProgressCallback progress_;
    DownloadOptions options_;
    // Its own source rather than the thread's: a cancel may come from another thread
    // before start, or while start is still creating the thread.
    std::stop_source cancel_;
    std::jthread thread_;
};

} // namespace installer::transfer
