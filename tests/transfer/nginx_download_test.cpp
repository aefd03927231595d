// Download from nginx, a real static host: continuing with Range and If-Range, a file
// changed on the host between two starts, and a transfer killed outright.

#include "fault_server.h"
#include "hosts/nginx_host.h"
#include "platform/file.h"
#include "support/process.h"
#include "transfer/download.h"
#include "transfer/resume_record.h"

#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <iostream>
#include <sstream>
#include <sys/wait.h>

namespace installer::transfer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using installer::testing::NginxHost;
using installer::testing::randomContent;

class NginxDownload : public ::testing::Test {
protected:
    installer::testing::TempDir dir;
    installer::testing::TestCA ca = installer::testing::makeTestCA(dir / "ca");
    fs::path www = dir / "www";
    fs::path destination = dir / "cache" / "package.dmg";
    std::string content = randomContent(4 * 1024 * 1024, 1);
    std::unique_ptr<NginxHost> nginx;

    void SetUp() override {
        fs::create_directories(www);
        fs::create_directories(destination.parent_path());
        platform::writeFileAtomically(www / "package.dmg", content);
        // Slow enough that a transfer can be stopped half-way.
        nginx =
            std::make_unique<NginxHost>(www, ca, installer::testing::NginxOptions{{}, 16 << 20});
    }
    std::string route() const { return "localhost:443:127.0.0.1:" + std::to_string(nginx->port()); }

    struct Run {
        bool ok = false;
        std::int64_t firstWritten = -1;
    };
    // One start; it cancels itself once `stopAt` bytes are written.
    Run download(const std::string& url, std::int64_t stopAt = -1) {
        release::Settings settings;
        settings.downloadHosts = {"localhost"};
        Run run;
        std::promise<bool> done;
        Download* self = nullptr;
        Download d(settings, destination,
                   [&](std::int64_t written, std::int64_t) {
                       if (run.firstWritten < 0)
                           run.firstWritten = written;
                       if (stopAt >= 0 && written >= stopAt)
                           self->cancel();
                   },
                   {ca.caFile.string(), {route()}});
        self = &d;
        d.start(url, [&](DownloadResult result) {
            done.set_value(std::holds_alternative<fs::path>(result));
        });
        auto future = done.get_future();
        EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
        run.ok = future.get();
        return run;
    }
    std::string cached() const { return platform::readFile(destination, 1 << 30); }
    std::optional<ResumeRecord> record() const {
        if (!fs::exists(destination.string() + ".resume"))
            return std::nullopt;
        return decodeResumeRecord(
            platform::readFile(destination.string() + ".resume", resumeRecordLimit));
    }
};

TEST_F(NginxDownload, WhatIsOnDiskIsContinuedOnlyWhileItIsStillTheHostsFile) {
    const std::string url = nginx->url("/package.dmg");
    EXPECT_FALSE(download(url, 1 << 20).ok);
    const auto kept = record();
    ASSERT_TRUE(kept);
    EXPECT_GE(kept->bytes, 1 << 20);

    // Stopped after its last byte: nginx refuses the range past the end, and the file
    // on disk is the whole of it.
    platform::writeFileAtomically(destination.string() + ".partial", content);
    const auto size = static_cast<std::int64_t>(content.size());
    platform::writeFileAtomically(
        destination.string() + ".resume",
        *encodeResumeRecord({url, "package.dmg.partial", size, kept->etag, ""}));
    ASSERT_TRUE(download(url).ok);
    EXPECT_NE(nginx->accessLog().rfind("GET /package.dmg 416 "), std::string::npos);
    EXPECT_TRUE(cached() == content);

    // Changed on the host since: fetched whole, never spliced.
    EXPECT_FALSE(download(url, 1 << 20).ok);
    ASSERT_TRUE(record());
    const std::string changed = randomContent(content.size(), 2);
    platform::writeFileAtomically(www / "package.dmg", changed);
    // Same size: only the modification time tells nginx's ETag apart.
    fs::last_write_time(www / "package.dmg", fs::last_write_time(www / "package.dmg") + 10s);
    const Run again = download(url);
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.firstWritten, 0);
    EXPECT_TRUE(cached() == changed);
}

// SIGKILL at points all along a transfer, each next run continuing the last; nginx's log
// tells how many bytes were sent twice.
TEST_F(NginxDownload, KilledAnywhereTheNextRunFetchesLittleTwice) {
    const std::int64_t size = 100 << 20;
    const std::string package = randomContent(size, 3);
    platform::writeFileAtomically(www / "big.dmg", package);
    nginx = std::make_unique<NginxHost>(www, ca, installer::testing::NginxOptions{{}, 8 << 20});
    const fs::path big = dir / "cache" / "big.dmg", partial = big.string() + ".partial";
    const std::vector<std::string> child = {DOWNLOAD_CHILD, nginx->url("/big.dmg"), big.string(),
                                            ca.caFile.string(), route()};
    const double points[] = {0.03, 0.12, 0.21, 0.33, 0.42, 0.51, 0.63, 0.74, 0.86, 0.97};
    std::vector<std::int64_t> received;
    for (const double point : points) {
        const int pid = installer::testing::spawnProcess(child, {});
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        const auto written = [&] {
            std::error_code noFile;
            const auto bytes = fs::file_size(partial, noFile);
            return noFile ? 0.0 : static_cast<double>(bytes);
        };
        while (written() < point * size && std::chrono::steady_clock::now() < deadline &&
               ::waitpid(pid, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(1ms);
        ::kill(pid, SIGKILL);
        installer::testing::waitForChild(pid, 10s);
        received.push_back(static_cast<std::int64_t>(written())); // all it wrote survives a kill
    }
    EXPECT_EQ(installer::testing::waitForChild(installer::testing::spawnProcess(child, {}), 60s),
              0);
    EXPECT_TRUE(platform::readFile(big, size) == package); // no splice anywhere

    // Every request is logged once nginx has seen its connection end.
    struct Fetch {
        std::int64_t start = 0, sent = 0;
    };
    std::vector<Fetch> fetches;
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         fetches.size() <= std::size(points) && std::chrono::steady_clock::now() < deadline;) {
        fetches.clear();
        std::istringstream log(nginx->accessLog());
        for (std::string method, uri, status, sent, range, rest;
             log >> method >> uri >> status >> sent >> range;) {
            std::getline(log, rest);
            if (uri == "/big.dmg")
                fetches.push_back(
                    {range.starts_with("range=\"bytes=") ? std::stoll(range.substr(13)) : 0,
                     std::stoll(sent)});
        }
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(fetches.size(), std::size(points) + 1) << nginx->accessLog();
    const std::int64_t allowed = size / 100 + checkpointBytes;
    std::int64_t worst = 0;
    for (std::size_t i = 0; i < std::size(points); ++i) {
        const std::int64_t twice = fetches[i].start + fetches[i].sent - fetches[i + 1].start;
        worst = std::max(worst, twice);
        EXPECT_LE(twice, allowed) << "kill point " << points[i];
        // What the killed run had received is lost only back to its last checkpoint.
        EXPECT_LE(received[i] - fetches[i + 1].start, checkpointBytes + (64 << 10)) << points[i];
    }
    std::cout << "worst " << worst << " of " << size << " bytes; allowed " << allowed << "\n";
}

} // namespace
} // namespace installer::transfer
