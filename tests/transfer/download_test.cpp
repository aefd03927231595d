// Download against a misbehaving HTTPS server on loopback: what ends up at the
// destination and beside it, which callbacks fire, and which error the caller gets.

#include "fault_server.h"
#include "hosts/test_ca.h"
#include "platform/file.h"
#include "support/temp_dir.h"
#include "transfer/download.h"
#include "transfer/resume_record.h"
#include "transfer/transfer_error.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <future>
#include <random>

namespace installer::transfer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using installer::testing::FaultServer;
using installer::testing::TempDir;

std::string randomContent(std::size_t size) {
    std::mt19937 random(5);
    std::string text(size, '\0');
    for (auto& c : text)
        c = static_cast<char>(random());
    return text;
}

std::string slurp(const fs::path& file) { return platform::readFile(file, 1 << 30); }

struct Outcome {
    std::optional<fs::path> file;
    std::string error;  // its description
    int code = 0;       // TransferError's code, 0 for other errors
    int completions = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
};

class DownloadTest : public ::testing::Test {
protected:
    TempDir dir;
    testing::TestCA ca = testing::makeTestCA(dir / "ca");
    std::string content = randomContent(3 * 1024 * 1024 + 17);
    FaultServer server{ca.certFile, ca.keyFile, content};
    release::Settings settings = [] {
        release::Settings s;
        s.downloadHosts = {"localhost"};
        return s;
    }();
    fs::path destination = dir / "package.dmg";
    DownloadOptions options{ca.caFile.string(),
                            {"localhost:443:127.0.0.1:" + std::to_string(server.port())},
                            500ms};

    Outcome fetch(const std::string& path, const std::function<void(Download&)>& meanwhile = {},
                  const std::function<void(Download&)>& beforeStart = {}) {
        Outcome outcome;
        std::mutex mutex;
        std::promise<void> done;
        {
            Download download(settings, destination,
                              [&](std::int64_t written, std::int64_t expected) {
                                  std::lock_guard lock(mutex);
                                  outcome.progress.emplace_back(written, expected);
                              },
                              options);
            if (beforeStart)
                beforeStart(download);
            download.start("https://localhost" + path, [&](DownloadResult result) {
                std::lock_guard lock(mutex);
                ++outcome.completions;
                if (auto* file = std::get_if<fs::path>(&result)) {
                    outcome.file = *file;
                } else {
                    try {
                        std::rethrow_exception(std::get<std::exception_ptr>(result));
                    } catch (const TransferError& error) {
                        outcome.error = error.what();
                        outcome.code = error.code();
                    } catch (const std::exception& error) {
                        outcome.error = error.what();
                    }
                }
                done.set_value();
            });
            if (meanwhile)
                meanwhile(download);
            EXPECT_EQ(done.get_future().wait_for(60s), std::future_status::ready) << path;
        }
        return outcome;
    }
    fs::path beside(const char* extension) const { return destination.string() + "." + extension; }
};

TEST_F(DownloadTest, AWholeBodyIsMovedIntoPlaceAndTheSourceStays) {
    for (const std::string path : {"/file", "/chain/3", "/partial-no-range", "/no-length"}) {
        fs::remove(destination);
        const Outcome outcome = fetch(path);
        ASSERT_EQ(outcome.file, destination) << path << ": " << outcome.error;
        EXPECT_EQ(outcome.completions, 1);
        EXPECT_TRUE(slurp(destination) == content) << path;
        EXPECT_EQ(slurp(beside("source")), "https://localhost" + path);
        EXPECT_FALSE(fs::exists(beside("resume")));
        EXPECT_FALSE(fs::exists(beside("partial")));
        ASSERT_FALSE(outcome.progress.empty());
        const std::int64_t size = static_cast<std::int64_t>(content.size());
        const std::int64_t expected = path == "/no-length" ? -1 : size;
        EXPECT_EQ(outcome.progress.back(), std::make_pair(size, expected)) << path;
        for (std::size_t i = 1; i < outcome.progress.size(); ++i)
            EXPECT_GT(outcome.progress[i].first, outcome.progress[i - 1].first);
    }
}

TEST_F(DownloadTest, AnEmptyBodyIsAnEmptyFileForTheSizeCheckToRefuse) {
    const Outcome outcome = fetch("/status/200");
    ASSERT_EQ(outcome.file, destination) << outcome.error;
    EXPECT_EQ(fs::file_size(destination), 0u);
}

TEST_F(DownloadTest, ARefusedRangeForgetsTheRecordSoTheNextStartIsFresh) {
    platform::writeFileAtomically(beside("partial"), "12345");
    platform::writeFileAtomically(
        beside("resume"), encodeResumeRecord({"https://localhost/status/416", "package.dmg.partial", 5, "\"e\"", ""}));
    platform::writeFileAtomically(beside("source"), "https://localhost/status/416");
    EXPECT_EQ(fetch("/status/416").error, "下载失败");
    EXPECT_EQ(server.lastRange(), "bytes=5-");
    EXPECT_FALSE(fs::exists(beside("resume")));
}

TEST_F(DownloadTest, AnswersThatAreNotTheFileFailAndLeaveAnOlderDestination) {
    for (const std::string path :
         {"/status/404", "/status/304", "/status/302", "/status/500", "/loop",
          "/to/https%3A%2F%2Fevil.example%2Fp.dmg", "/to/http%3A%2F%2Flocalhost%2Ffile",
          "/to/https%3A%2F%2Flocalhost%3A8443%2Ffile"}) {
        platform::writeFileAtomically(destination, "older package");
        const int before = server.requests();
        const Outcome outcome = fetch(path);
        EXPECT_LE(server.requests() - before, 20) << path << ": the chain is cut off";
        EXPECT_EQ(outcome.error, "下载失败") << path;
        EXPECT_EQ(outcome.completions, 1);
        EXPECT_EQ(slurp(destination), "older package") << path;
    }
}

TEST_F(DownloadTest, ADroppedTransferLeavesARecordThatContinuesWithARange) {
    const Outcome dropped = fetch("/drop");
    EXPECT_EQ(dropped.code, CURLE_PARTIAL_FILE) << dropped.error;
    EXPECT_NE(dropped.error.find("网络连接已中断"), std::string::npos) << dropped.error;
    EXPECT_FALSE(fs::exists(destination));
    const auto record = decodeResumeRecord(slurp(beside("resume")));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->url, "https://localhost/drop");
    EXPECT_EQ(record->bytes, static_cast<std::int64_t>(fs::file_size(beside("partial"))));
    EXPECT_EQ(record->etag, "\"fault-1\"");
    EXPECT_GT(record->bytes, 0);

    // The next start asks for the rest and appends what it gets to what is on disk.
    const Outcome again = fetch("/drop");
    EXPECT_EQ(server.lastRange(), "bytes=" + std::to_string(record->bytes) + "-");
    EXPECT_EQ(again.code, CURLE_PARTIAL_FILE) << again.error;
    const std::string kept = slurp(beside("partial"));
    EXPECT_GT(kept.size(), static_cast<std::size_t>(record->bytes));
    EXPECT_TRUE(kept == content.substr(0, kept.size()));
    ASSERT_FALSE(again.progress.empty());
    EXPECT_EQ(again.progress.front().first, record->bytes);  // totals include what was taken over
    EXPECT_EQ(again.progress.front().second, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(decodeResumeRecord(slurp(beside("resume")))->bytes, static_cast<std::int64_t>(kept.size()));
}

TEST_F(DownloadTest, AWholeAnswerToARangeStartsOverInsteadOfSplicing) {
    fetch("/whole/drop");
    const auto first = slurp(beside("partial"));
    const Outcome again = fetch("/whole/drop");
    EXPECT_EQ(server.lastRange(), "bytes=" + std::to_string(first.size()) + "-");
    EXPECT_TRUE(slurp(beside("partial")) == first);  // the same half again, not two halves
    ASSERT_FALSE(again.progress.empty());
    EXPECT_LT(again.progress.front().first, static_cast<std::int64_t>(first.size()));
}

TEST_F(DownloadTest, ARecordIsUsedOnlyForTheSameAddressAndWhileSmall) {
    // A record describing the first 1000 bytes of /file.
    const auto prepare = [&](const std::string& source, std::size_t recordSize) {
        platform::writeFileAtomically(beside("partial"), content.substr(0, 1000));
        std::string text = encodeResumeRecord({"https://localhost/file", "package.dmg.partial", 1000, "\"fault-1\"", ""});
        text.resize(recordSize, ' ');  // trailing blanks keep it a valid record
        platform::writeFileAtomically(beside("resume"), text);
        platform::writeFileAtomically(beside("source"), source);
    };
    const struct {
        std::string source;
        std::size_t recordSize;
        bool resumed;
    } cases[] = {
        {"https://localhost/file", 200, true},
        {"https://localhost/file", resumeRecordLimit - 1, true},
        {"https://localhost/file", resumeRecordLimit, false},
        {"https://localhost/file\n", 200, false},
        {" https://localhost/file", 200, false},
        {"https://localhost/other", 200, false},
    };
    for (const auto& c : cases) {
        prepare(c.source, c.recordSize);
        const Outcome outcome = fetch("/file");
        EXPECT_EQ(server.lastRange(), c.resumed ? "bytes=1000-" : "") << c.recordSize << c.source;
        ASSERT_EQ(outcome.file, destination) << outcome.error;
        EXPECT_TRUE(slurp(destination) == content);
        EXPECT_FALSE(fs::exists(beside("resume")));
    }
}

TEST_F(DownloadTest, TransportFaultsAreClearErrors) {
    const auto stalled = fetch("/stall");
    EXPECT_EQ(stalled.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_NE(stalled.error.find("请求超时"), std::string::npos) << stalled.error;

    options.connectTo = {"localhost:443:127.0.0.1:1"};
    const auto refused = fetch("/file");
    EXPECT_EQ(refused.code, CURLE_COULDNT_CONNECT) << refused.error;
    EXPECT_NE(refused.error.find("未能连接到服务器"), std::string::npos);

    // Without the test CA the server is a stranger; under another name it is an impostor.
    options.connectTo = {"localhost:443:127.0.0.1:" + std::to_string(server.port()),
                         "impostor.example:443:127.0.0.1:" + std::to_string(server.port())};
    options.caBundle.clear();
    const auto untrusted = fetch("/file");
    EXPECT_EQ(untrusted.code, CURLE_PEER_FAILED_VERIFICATION) << untrusted.error;
    EXPECT_NE(untrusted.error.find("证书无效"), std::string::npos);
    options.caBundle = ca.caFile.string();
    settings.downloadHosts = {"impostor.example"};
    Outcome impostor;
    {
        std::promise<Outcome> result;
        Download download(settings, destination, {}, options);
        download.start("https://impostor.example/file", [&](DownloadResult r) {
            Outcome o;
            if (std::holds_alternative<std::exception_ptr>(r)) {
                try {
                    std::rethrow_exception(std::get<std::exception_ptr>(r));
                } catch (const TransferError& e) {
                    o.code = e.code();
                    o.error = e.what();
                }
            }
            result.set_value(o);
        });
        impostor = result.get_future().get();
    }
    EXPECT_EQ(impostor.code, CURLE_PEER_FAILED_VERIFICATION) << impostor.error;
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(DownloadTest, CancellingAtAnyMomentIsOneCancellation) {
    const auto cancelled = fetch("/stall", [](Download& d) { d.cancel(); });
    EXPECT_EQ(cancelled.code, cancelledCode);
    EXPECT_EQ(cancelled.completions, 1);

    options.dataTimeout = 10s;
    const int before = server.requests();
    const auto later = fetch("/stall", [&](Download& d) {
        while (server.requests() == before)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);
        d.cancel();
    });
    EXPECT_EQ(later.code, cancelledCode);
    EXPECT_FALSE(fs::exists(destination));

    // A stop pressed before the transfer got going must not be lost.
    const auto early = fetch("/file", {}, [](Download& d) { d.cancel(); });
    EXPECT_EQ(early.code, cancelledCode) << early.error;
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(DownloadTest, ABodyPastTheLargestPackageIsCancelledAfterItsReport) {
    const auto endless = fetch("/endless");
    EXPECT_EQ(endless.code, cancelledCode) << endless.error;
    ASSERT_FALSE(endless.progress.empty());
    EXPECT_GT(endless.progress.back().first, maxPackageBytes);
    EXPECT_EQ(endless.progress.back().second, -1);
    EXPECT_LE(endless.progress[endless.progress.size() - 2].first, maxPackageBytes);
    EXPECT_FALSE(fs::exists(destination));
}

} // namespace
} // namespace installer::transfer
