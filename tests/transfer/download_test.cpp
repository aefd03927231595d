// What a caller of Download, and of the service's small GET, sees against a misbehaving
// HTTPS server: the outcome, the files at and beside the destination, the range asked.

#include "fault_server.h"
#include "hosts/hosts.h"
#include "platform/file.h"
#include "support/temp_dir.h"
#include "transfer/download.h"
#include "transfer/https_get.h"
#include "transfer/resume_record.h"

#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::transfer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

std::string slurp(const fs::path& file) {
    return platform::readFile(file, 1 << 30);
}

class DownloadTest : public ::testing::Test {
protected:
    installer::testing::TempDir dir;
    installer::testing::TestCA ca = installer::testing::makeTestCA(dir / "ca");
    std::string content = installer::testing::randomContent(3 * 1024 * 1024 + 17, 5);
    installer::testing::FaultServer server{ca.certFile, ca.keyFile, content};
    std::string route = "localhost:443:127.0.0.1:" + std::to_string(server.port());
    // An allowed host whose name the server's certificate does not carry.
    std::string impostor = "impostor.example:443:127.0.0.1:" + std::to_string(server.port());
    release::Settings settings;
    DownloadOptions options;
    fs::path destination; // in a folder of its own for each row
    fs::path beside(const char* extension) const { return destination.string() + "." + extension; }
};

TEST_F(DownloadTest, OutcomesAndWhatIsLeftOnDisk) {
    bool cancelOnceAsked = false;
    const std::string at = "https://localhost/", file = at + "file";
    const std::string failed = "下载失败";
    const auto badCertificate = [](const char* host) {
        return "服务器“"s + host + "”的证书无效，无法确认它的身份";
    };
    // What a run of `url` stopped after 1000 bytes left, its record's text edited.
    const auto stopped = [&](std::string from, std::string to, std::size_t padTo = 0,
                             std::string sourceTail = "", std::string url = "") {
        return std::function<void()>([=, this] {
            const std::string source = url.empty() ? file : url;
            std::string record =
                *encodeResumeRecord({source, "package.dmg.partial", 1000, "\"fault-1\"", ""});
            if (!from.empty())
                record.replace(record.find(from), from.size(), to);
            record.resize(std::max(record.size(), padTo), ' '); // blanks keep it a valid record
            platform::writeFileAtomically(beside("resume"), record);
            platform::writeFileAtomically(beside("partial"), content.substr(0, 1000));
            platform::writeFileAtomically(beside("source"), source + sourceTail);
        });
    };
    const struct {
        std::string url;
        std::string outcome; // "file", or the error's description
        std::function<void()> before = {};
        std::string range = ""; // the Range header sent last
        bool recordKept = false;
    } cases[] = {
        {file, "file"},
        {at + "status/301/..%2F..%2Ffile", "file"}, // a relative hop
        {at + "status/307/https%3A%2F%2Flocalhost%2Ffile", "file"},
        {at + "status/308/%2Ffile", "file"},
        {at + "status/200", "file"}, // empty: for the size check to refuse
        // A folder in the way of the finished file would fail every later run.
        {file, "file",
         [&] { fs::remove(destination), fs::create_directories(destination / "in/the-way"); }},
        // What a stopped run left is continued, cut back to what the record vouches for.
        {file, "file", stopped(":1000", ":999"), "bytes=999-"},
        {file, "file", stopped("", "", resumeRecordLimit - 1), "bytes=1000-"},
        // Any doubt about the record starts afresh.
        {file, "file", stopped("", "", resumeRecordLimit)},
        {file, "file", stopped(":1000", ":1001")},
        {file, "file", stopped(R"("\")", R"("W/\")")},
        {file, "file", stopped("file\"", "file?\"")},
        {file, "file", stopped("", "", 0, "\n")},
        {file, "file", stopped(".partial\"", "\"")}, // names the finished file as its body
        // The host ignores If-Range: a range of another version is not continued.
        {file, "file", stopped("fault-1", "fault-0")},
        // Answers that are not the file, and hops off the allowed host.
        {at + "status/404", failed},
        {at + "status/302", failed}, // to itself, without end
        {at + "status/302/https%3A%2F%2Fevil.example%2Fp.dmg", failed},
        {at + "status/301/http%3A%2F%2Flocalhost%2Ffile", failed},
        // A refused range is forgotten, so the next start is fresh.
        {at + "status/416", failed, stopped("", "", 0, "", at + "status/416"), "bytes=1000-"},
        {at + "status/503", failed, stopped("", "", 0, "", at + "status/503"), "bytes=1000-", true},
        // Transport failures, in words a user understands.
        {at + "drop", "网络连接已中断：与服务器“localhost”的连接在传输中断开", {}, "", true},
        {at + "stall", "请求超时：3 秒内没有收到数据", {}, "", true},
        {at + "trickle", "下载超时：2 秒内没有完成", [&] { options.totalTimeout = 2s; }, "", true},
        {file, "无法连接到服务器“localhost”，请检查网络连接",
         [&] { options.connectTo = {"localhost:443:127.0.0.1:1"}; }},
        {file, badCertificate("localhost"), [&] { options.caBundle.clear(); }},
        {"https://impostor.example/file", badCertificate("impostor.example")},
        {"https://nowhere.invalid/file", "找不到服务器“nowhere.invalid”，请检查网络连接"},
        // Cancelled, and past the largest package: a later run must not continue that
        // only to pass the cap again.
        {at + "stall", "已取消", [&] { cancelOnceAsked = true; }, "", true},
        {at + "endless", "已取消"},
    };
    for (const auto& c : cases) {
        const std::string row = c.url + " " + std::to_string(&c - cases);
        destination = dir / std::to_string(&c - cases) / "package.dmg";
        fs::create_directories(destination.parent_path());
        platform::writeFileAtomically(destination, "older package");
        settings.downloadHosts = {"localhost", "impostor.example"};
        options = {ca.caFile.string(), {route, impostor}, 3s};
        cancelOnceAsked = false;
        if (c.before)
            c.before();
        const int requests = server.requests();
        // Callbacks come from the download's thread; they are read once it has completed.
        std::string outcome;
        std::vector<std::int64_t> written;
        std::promise<void> done;
        const auto progress = [&](std::int64_t bytes, std::int64_t) { written.push_back(bytes); };
        Download download(settings, destination, progress, options);
        download.start(c.url, [&](DownloadResult result) {
            outcome = installer::testing::outcome([&] {
                if (!std::holds_alternative<fs::path>(result))
                    std::rethrow_exception(std::get<std::exception_ptr>(result));
                return "file"s;
            });
            done.set_value();
        });
        // Cancelled once some bytes are on disk, so there is something to continue.
        while (cancelOnceAsked &&
               (!fs::exists(beside("partial")) || fs::is_empty(beside("partial"))))
            std::this_thread::sleep_for(1ms);
        if (cancelOnceAsked)
            download.cancel();
        ASSERT_EQ(done.get_future().wait_for(60s), std::future_status::ready) << c.url;
        const bool file = outcome == "file", empty = c.url.ends_with("/200");
        EXPECT_EQ(outcome, c.outcome) << row;
        if (server.requests() > requests) {
            EXPECT_EQ(server.lastRange(), c.range) << row;
        }
        EXPECT_TRUE(slurp(destination) == (file ? (empty ? "" : content) : "older package")) << row;
        EXPECT_EQ(fs::exists(beside("resume")), c.recordKept) << row;
        if (c.recordKept) { // it vouches for bytes that are all on disk
            EXPECT_EQ(decodeResumeRecord(slurp(beside("resume")))->bytes,
                      static_cast<std::int64_t>(slurp(beside("partial")).size()))
                << row;
        }
        if (c.url.ends_with("endless")) { // reported past the cap, then cancelled
            EXPECT_GT(written.back(), maxPackageBytes);
            EXPECT_LE(written[written.size() - 2], maxPackageBytes);
            EXPECT_FALSE(fs::exists(beside("partial")));
        }
        if (file) {
            EXPECT_EQ(slurp(beside("source")), c.url) << row;
            EXPECT_EQ(written.back(), empty ? 0 : static_cast<std::int64_t>(content.size())) << row;
            EXPECT_TRUE(std::is_sorted(written.begin(), written.end())) << row;
            EXPECT_EQ(written.front(), c.range.empty() ? 0 : std::stoll(c.range.substr(6))) << row;
        }
    }
}

// The machine's syncs, except that the first sync of the body is held until the test
// lets it go, and that every record is read as it is stored and set against what the
// finished syncs of the body covered: the bytes written before each began.
class HeldSync final : public platform::DiskSync {
public:
    fs::path body, record;
    struct Stored {
        std::int64_t claimed, covered;
    };

    void sync(int fd, platform::SyncDepth depth, const fs::path& path) const override {
        std::unique_lock lock(mutex_);
        fullFlushes_ += depth == platform::SyncDepth::throughDriveCache;
        if (path == record) {
            std::string text(resumeRecordLimit, '\0');
            text.resize(static_cast<std::size_t>(
                std::max<ssize_t>(::pread(fd, text.data(), text.size(), 0), 0)));
            const auto stored = decodeResumeRecord(text);
            stored_.push_back({stored ? stored->bytes : -1, covered_});
        }
        if (path != body) {
            lock.unlock();
            return DiskSync::sync(fd, depth, path);
        }
        struct stat info {};
        ::fstat(fd, &info);
        const std::int64_t covers = info.st_size;
        if (bodySyncs_++ == 0) {
            heldAt_ = covers;
            changed_.notify_all();
            changed_.wait(lock, [&] { return released_; });
        }
        lock.unlock();
        DiskSync::sync(fd, depth, path);
        lock.lock();
        covered_ = std::max(covered_, covers);
    }

    // What the held sync covers, once it is held; nothing if none came in time.
    std::optional<std::int64_t> held() const {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 30s, [&] { return heldAt_ >= 0; });
        return heldAt_ >= 0 ? std::optional(heldAt_) : std::nullopt;
    }
    void release() const {
        const std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<Stored> stored() const {
        const std::lock_guard lock(mutex_);
        return stored_;
    }
    int bodySyncs() const { return bodySyncs_; }
    int fullFlushes() const { return fullFlushes_; }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable bool released_ = false;
    mutable std::int64_t heldAt_ = -1, covered_ = 0;
    mutable int bodySyncs_ = 0, fullFlushes_ = 0;
    mutable std::vector<Stored> stored_;
};

// The socket is read on while the disk syncs, and the record the sync is for claims
// only what it covered. A body that ended is the caller's at once, without waiting for
// a sync still running, and that sync leaves no record behind it; one that was stopped
// is synced whole first, so a new start fetches none of it again.
TEST_F(DownloadTest, TheRecordNeverCountsMoreThanTheSyncsCoveredWhileTheBodyStreamsOn) {
    const std::string large = installer::testing::randomContent(32 << 20, 8);
    installer::testing::FaultServer host(ca.certFile, ca.keyFile, large);
    settings.downloadHosts = {"localhost"};
    for (const bool cancelWhileHeld : {false, true}) {
        SCOPED_TRACE(cancelWhileHeld ? "cancelled while held" : "to the end");
        destination = dir / (cancelWhileHeld ? "cancelled" : "whole") / "package.dmg";
        fs::create_directories(destination.parent_path());
        HeldSync disk;
        disk.body = beside("partial");
        disk.record = beside("resume");
        options = {ca.caFile.string(), {"localhost:443:127.0.0.1:" + std::to_string(host.port())}};
        options.disk = &disk;
        std::promise<std::string> done;
        auto outcome = done.get_future();
        {
            Download download(settings, destination, {}, options);
            download.start("https://localhost/paced", [&](DownloadResult result) {
                done.set_value(std::holds_alternative<fs::path>(result) ? "file" : "failed");
            });
            const auto heldAt = disk.held();
            ASSERT_TRUE(heldAt) << "no sync of the body began";
            const auto grew = [&] {
                std::error_code absent;
                return static_cast<std::int64_t>(fs::file_size(beside("partial"), absent)) >=
                       *heldAt + checkpointBytes;
            };
            for (const auto end = std::chrono::steady_clock::now() + 30s;
                 !grew() && std::chrono::steady_clock::now() < end;)
                std::this_thread::sleep_for(1ms);
            EXPECT_TRUE(grew()) << "the transfer waited for the disk";
            if (cancelWhileHeld) {
                download.cancel();
            } else {
                EXPECT_EQ(outcome.wait_for(60s), std::future_status::ready)
                    << "the outcome waited for the disk";
            }
            disk.release();
        }
        ASSERT_EQ(outcome.wait_for(60s), std::future_status::ready);
        EXPECT_EQ(outcome.get(), cancelWhileHeld ? "failed" : "file");

        const auto stored = disk.stored();
        for (const auto& record : stored)
            EXPECT_LE(record.claimed, record.covered);
        // Records go only into the drive's cache: each flush through it is a sync of the
        // body, and there is one per round, not one more per record.
        EXPECT_EQ(disk.fullFlushes(), disk.bodySyncs());
        if (cancelWhileHeld) {
            EXPECT_FALSE(stored.empty());
            EXPECT_EQ(decodeResumeRecord(slurp(beside("resume")))->bytes,
                      static_cast<std::int64_t>(slurp(beside("partial")).size()));
        } else {
            EXPECT_TRUE(slurp(destination) == large);
            EXPECT_FALSE(fs::exists(beside("resume")));
        }
    }
}

TEST_F(DownloadTest, TheServicesSmallGetIsBoundedAndFollowsOnlyHttps) {
    const auto size = content.size();
    const struct {
        std::string path;
        std::size_t limit;
        std::string outcome; // status and body size, or the error
    } cases[] = {
        {"/file", size - 1, "too large"}, // cut off as it streams
        {"/status/308/%2Ffile", size, "200 " + std::to_string(size)},
        {"/status/301/http%3A%2F%2Flocalhost%2Ffile", size, "301 0"}, // not followed
        {"/status/302", size, "302 0"},                               // to itself, without end
        {"/stall", size, "已取消"},                                   // stopped before it began
    };
    for (const auto& c : cases) {
        const int before = server.requests();
        const GetOptions get{ca.caFile.string(), {route}, c.limit};
        std::stop_source stop;
        if (c.path == "/stall")
            stop.request_stop();
        const std::string outcome = installer::testing::outcome([&] {
            const HttpAnswer answer = httpsGet("https://localhost" + c.path, get, stop.get_token());
            EXPECT_LE(answer.body.size(), c.limit);
            return answer.bodyTooLarge
                       ? "too large"s
                       : std::to_string(answer.status) + " " + std::to_string(answer.body.size());
        });
        EXPECT_EQ(outcome, c.outcome) << c.path;
        EXPECT_LE(server.requests() - before, 20) << c.path;
    }
}

} // namespace
} // namespace installer::transfer
