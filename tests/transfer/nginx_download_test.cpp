// Download from nginx in a process of its own, killed outright: the next run continues
// with Range and If-Range only while the bytes on disk are still the host's file.

#include "fault_server.h"
#include "hosts/hosts.h"
#include "platform/file.h"
#include "support/process.h"
#include "transfer/download.h"
#include "transfer/resume_record.h"

#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utility>

namespace installer::transfer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using installer::testing::randomContent;

// The machine's syncs, noting for each checkpoint how far the body had come when its
// sync began and when its record was stored: what arrives in between is what a kill
// then may cost beyond the checkpoint's own bytes.
class LoggedSync final : public platform::DiskSync {
public:
    fs::path body, record, log;
    void sync(int fd, platform::SyncDepth depth, const fs::path& path) const override {
        if (path == body || path == record) {
            struct stat info {};
            ::stat(body.c_str(), &info);
            std::ofstream(log, std::ios::app)
                << (path == body ? "sync " : "record ") << info.st_size << "\n";
        }
        DiskSync::sync(fd, depth, path);
    }
};

class NginxDownload : public ::testing::Test {
protected:
    installer::testing::TempDir dir;
    installer::testing::TestCA ca = installer::testing::makeTestCA(dir / "ca");
    fs::path www = dir / "www", package = dir / "package.dmg";
    fs::path partial = package.string() + ".partial", resume = package.string() + ".resume";
    fs::path roundLog = dir / "rounds";
    // Slow enough that a transfer can be killed half-way.
    static constexpr std::size_t bytesPerSecond = 8 << 20;
    installer::testing::NginxHost nginx{www, ca, bytesPerSecond};

    void serve(const std::string& content) {
        fs::create_directories(www);
        platform::writeFileAtomically(www / "package.dmg", content);
    }
    // One Download in a process of its own, which exits 0 once the file is in place.
    int start() const {
        const int pid = ::fork();
        if (pid != 0)
            return pid;
        release::Settings settings;
        settings.downloadHosts = {"localhost"};
        const std::string route = "localhost:443:127.0.0.1:" + std::to_string(nginx.port());
        std::promise<DownloadResult> done;
        LoggedSync disk;
        disk.body = partial, disk.record = resume, disk.log = roundLog;
        DownloadOptions options{ca.caFile.string(), {route}};
        options.disk = &disk;
        Download download(settings, package, {}, options);
        download.start("https://localhost/package.dmg",
                       [&](DownloadResult result) { done.set_value(std::move(result)); });
        ::_exit(std::holds_alternative<fs::path>(done.get_future().get()) ? 0 : 1);
    }
    // Bytes on disk once a run was killed past `bytes`, and, if asked, once it has
    // recorded some; all it wrote survives the kill.
    std::int64_t killedPast(double bytes, bool recorded = false) const {
        const int pid = start();
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while ((written() < bytes || (recorded && !fs::exists(resume))) &&
               std::chrono::steady_clock::now() < deadline &&
               ::waitpid(pid, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(1ms);
        ::kill(pid, SIGKILL);
        installer::testing::waitForChild(pid, 10s);
        return written();
    }
    // Of the run killed with `killedAt` bytes on disk: the most that arrived while one
    // checkpoint synced and stored its record (a sync still running then counts too),
    // and how many syncs of the body it made.
    struct Rounds {
        std::int64_t longest = 0;
        int syncs = 0;
    };
    Rounds rounds(std::int64_t killedAt) const {
        Rounds made;
        std::int64_t began = -1, size = 0;
        std::ifstream in(roundLog);
        for (std::string what; in >> what >> size;) {
            if (what == "sync") {
                began = size;
                ++made.syncs;
            } else if (began >= 0) {
                made.longest = std::max(made.longest, size - std::exchange(began, -1));
            }
        }
        fs::remove(roundLog);
        if (began >= 0)
            made.longest = std::max(made.longest, killedAt - began);
        return made;
    }
    std::int64_t written() const {
        std::error_code absent; // the size is then -1
        return static_cast<std::int64_t>(fs::file_size(partial, absent));
    }
    // What a run to the end left in place.
    std::string finish() const {
        const bool done = installer::testing::waitForChild(start(), 60s) == 0;
        return done ? platform::readFile(package, 1 << 30) : "failed";
    }
};

TEST_F(NginxDownload, KilledAnywhereTheNextRunFetchesLittleTwice) {
    const std::int64_t size = 100 << 20;
    const std::string content = randomContent(size, 3);
    serve(content);
    const double points[] = {0.03, 0.12, 0.21, 0.33, 0.42, 0.51, 0.63, 0.74, 0.86, 0.97};
    std::vector<std::int64_t> received;
    std::vector<Rounds> made;
    for (const double point : points) {
        received.push_back(killedPast(point * size));
        made.push_back(rounds(received.back()));
    }
    EXPECT_TRUE(finish() == content); // no splice anywhere

    // Every request is logged once nginx has seen its connection end.
    std::vector<std::pair<std::int64_t, std::int64_t>> fetches; // where each began, bytes sent
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         fetches.size() <= std::size(points) && std::chrono::steady_clock::now() < deadline;) {
        fetches.clear();
        std::istringstream log(nginx.accessLog());
        for (std::string method, uri, status, sent, range, rest;
             log >> method >> uri >> status >> sent >> range && std::getline(log, rest);)
            fetches.push_back(
                {range.starts_with("range=\"bytes=") ? std::stoll(range.substr(13)) : 0,
                 std::stoll(sent)});
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(fetches.size(), std::size(points) + 1) << nginx.accessLog();
    // The bound: 1 % of the package (what was in flight) plus the checkpoint interval the
    // last record covers and the one whose sync was under way at the kill, with what
    // arrived while that sync ran; the socket never waits for a sync, so a slow disk
    // lengthens the interval instead of the download.
    std::ostringstream table;
    table << "at " << (bytesPerSecond >> 10)
          << " KiB/s; kill point, KiB: received, fetched twice, bound (of which the longest "
             "sync); flushes through the drive's cache\n";
    for (std::size_t i = 0; i < std::size(points); ++i) {
        const std::int64_t twice = fetches[i].first + fetches[i].second - fetches[i + 1].first;
        const std::int64_t bound = size / 100 + 2 * checkpointBytes + made[i].longest;
        table << points[i] << ", " << received[i] / 1024 << ", " << twice / 1024 << ", "
              << bound / 1024 << " (" << made[i].longest / 1024 << "); " << made[i].syncs
              << "\n";
        EXPECT_LE(twice, bound) << "kill point " << points[i];
    }
    std::cout << table.str();
}

TEST_F(NginxDownload, WhatIsOnDiskIsContinuedOnlyWhileItIsStillTheHostsFile) {
    const std::string content = randomContent(8 << 20, 1), changed = randomContent(8 << 20, 2);
    serve(content);
    killedPast(3 << 20, true);
    // Killed after its last byte: nginx refuses the range past the end, and the file on
    // disk is the whole of it.
    auto record = decodeResumeRecord(platform::readFile(resume, resumeRecordLimit)).value();
    record.bytes = static_cast<std::int64_t>(content.size());
    platform::writeFileAtomically(resume, encodeResumeRecord(record).value());
    platform::writeFileAtomically(partial, content);
    EXPECT_TRUE(finish() == content);
    EXPECT_NE(nginx.accessLog().rfind("GET /package.dmg 416 "), std::string::npos);

    // Changed on the host since: fetched whole, never spliced.
    killedPast(3 << 20, true);
    ASSERT_TRUE(fs::exists(resume));
    serve(changed);
    // Same size: only the modification time tells nginx's ETag apart.
    fs::last_write_time(www / "package.dmg", fs::last_write_time(www / "package.dmg") + 10s);
    EXPECT_TRUE(finish() == changed);
}

} // namespace
} // namespace installer::transfer
