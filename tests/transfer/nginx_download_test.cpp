// Download from nginx, a real static host: continuing with Range and If-Range, a file
// changed on the host between two starts, and a redirect.

#include "hosts/nginx_host.h"
#include "platform/file.h"
#include "transfer/download.h"
#include "transfer/resume_record.h"

#include <gtest/gtest.h>

#include <future>
#include <random>

namespace installer::transfer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using installer::testing::NginxHost;

std::string randomContent(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string text(size, '\0');
    for (auto& c : text)
        c = static_cast<char>(random());
    return text;
}

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
        nginx = std::make_unique<NginxHost>(
            www, ca,
            installer::testing::NginxOptions{{{"/old.dmg", "https://localhost/package.dmg", 302}}, 16 << 20});
    }

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
                   {ca.caFile.string(), {"localhost:443:127.0.0.1:" + std::to_string(nginx->port())}});
        self = &d;
        d.start(url, [&](DownloadResult result) { done.set_value(std::holds_alternative<fs::path>(result)); });
        auto future = done.get_future();
        EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
        run.ok = future.get();
        return run;
    }
    std::string cached() const { return platform::readFile(destination, 1 << 30); }
    std::optional<ResumeRecord> record() const {
        if (!fs::exists(destination.string() + ".resume"))
            return std::nullopt;
        return decodeResumeRecord(platform::readFile(destination.string() + ".resume", resumeRecordLimit));
    }
};

TEST_F(NginxDownload, AnInterruptedTransferContinuesWhereItStopped) {
    const std::string url = nginx->url("/package.dmg");
    EXPECT_FALSE(download(url, 1 << 20).ok);
    const auto kept = record();
    ASSERT_TRUE(kept);
    EXPECT_GE(kept->bytes, 1 << 20);
    EXPECT_LT(kept->bytes, static_cast<std::int64_t>(content.size()));
    EXPECT_FALSE(kept->etag.empty());

    const Run resumed = download(url);
    ASSERT_TRUE(resumed.ok);
    EXPECT_EQ(resumed.firstWritten, kept->bytes);  // nothing taken over was fetched again
    EXPECT_TRUE(cached() == content);
    EXPECT_FALSE(record());
}

TEST_F(NginxDownload, AFileChangedOnTheHostIsFetchedWholeNotSpliced) {
    const std::string url = nginx->url("/package.dmg");
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

TEST_F(NginxDownload, ARedirectToAnAllowedHostIsFollowed) {
    ASSERT_TRUE(download("https://localhost/old.dmg").ok);
    EXPECT_TRUE(cached() == content);
}

} // namespace
} // namespace installer::transfer
