// Download of a 250 MiB package from nginx over loopback HTTPS, against the curl command
// fetching the same URL in the same run, each iteration running both back to back: on a
// quiet disk, and while another process writes to it (dd of 1 GiB with conv=fsync, in a
// loop). The download is also timed without any sync, to show what its crash safety
// costs, and its flushes through the drive's cache (F_FULLFSYNC on macOS) are counted.
// Then an interrupted transfer resumed, and one killed outright.

#include "counting_sync.h"
#include "hosts/hosts.h"
#include "platform/file.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "transfer/download.h"
#include "transfer/resume_record.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <csignal>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace installer;
namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

constexpr std::int64_t packageSize = 262'144'000;

struct Host {
    testing::TempDir dir;
    testing::TestCA ca = testing::makeTestCA(dir / "ca");
    fs::path root = dir / "www";
    std::unique_ptr<testing::NginxHost> nginx;

    Host() {
        fs::create_directories(root);
        std::ofstream out(root / "package.dmg", std::ios::binary);
        std::mt19937_64 random(3);
        std::vector<std::uint64_t> chunk(1 << 17);
        for (std::int64_t written = 0; written < packageSize; written += 1 << 20) {
            for (auto& word : chunk)
                word = random();
            out.write(reinterpret_cast<const char*>(chunk.data()), 1 << 20);
        }
        out.close();
        nginx = std::make_unique<testing::NginxHost>(root, ca);
    }
    std::string url() const {
        return "https://localhost:" + std::to_string(nginx->port()) + "/package.dmg";
    }
};

Host& host() {
    static Host made;
    return made;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double childCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

using bench::CountingSync;

// No sync at all: the transfer as it would be without its crash safety.
class NoSync final : public platform::DiskSync {
public:
    void sync(int, platform::SyncDepth, const fs::path&) const override {}
};

// Another process writing to the same disk while it lives, as a syncing cloud drive or a
// build would; bounded in time should this process die without stopping it.
class DiskWriter {
public:
    explicit DiskWriter(const fs::path& file)
        : file_(file),
          pid_(testing::spawnProcess({"/usr/bin/timeout", "600", "/bin/sh", "-c",
                                      "while :; do dd if=/dev/zero of='" + file.string() +
                                          "' bs=1M count=1024 conv=fsync status=none; done"},
                                     {})) {}
    ~DiskWriter() {
        ::kill(pid_, SIGTERM); // timeout passes it on to the loop and its dd
        testing::waitForChild(pid_, std::chrono::seconds(10));
        std::error_code ignored;
        fs::remove(file_, ignored);
    }
    DiskWriter(const DiskWriter&) = delete;
    DiskWriter& operator=(const DiskWriter&) = delete;

private:
    fs::path file_;
    int pid_;
};

struct Run {
    bool ok = false;
    // From the start until the caller has its file: a sync the finished body left running
    // goes on after that, and is waited for only when the Download object goes.
    double waited = 0;
    std::int64_t lastWritten = 0;
    std::int64_t calls = 0;
};

// One transfer into `folder`; `stopAt` cancels it once that many bytes are written.
Run download(const fs::path& folder, std::int64_t stopAt = -1,
             const platform::DiskSync& disk = platform::machineDiskSync()) {
    const Host& h = host();
    release::Settings settings;
    settings.downloadHosts = {"localhost"};
    Run run;
    std::promise<bool> done;
    transfer::Download* self = nullptr;
    transfer::Download d(settings, folder / "package.dmg",
                         [&](std::int64_t written, std::int64_t) {
                             run.lastWritten = written;
                             ++run.calls;
                             if (stopAt >= 0 && written >= stopAt)
                                 self->cancel();
                         },
                         {.caBundle = h.ca.caFile.string(), .connectTo = {}, .disk = &disk});
    self = &d;
    const auto began = std::chrono::steady_clock::now();
    d.start(h.url(), [&](transfer::DownloadResult result) {
        run.waited = Seconds(std::chrono::steady_clock::now() - began).count();
        done.set_value(std::holds_alternative<fs::path>(result));
    });
    run.ok = done.get_future().get();
    return run;
}

void BM_Download(benchmark::State& state) {
    host();
    testing::TempDir out;
    const long rssBefore = peakRssKiB();
    double cpu = 0;
    std::int64_t calls = 0;
    double seconds = 0;
    for (auto _ : state) {
        fs::remove(out / "package.dmg");
        const double cpuBefore = cpuSeconds();
        const auto began = std::chrono::steady_clock::now();
        const Run run = download(out.path());
        seconds += Seconds(std::chrono::steady_clock::now() - began).count();
        cpu += cpuSeconds() - cpuBefore;
        calls += run.calls;
        if (!run.ok)
            state.SkipWithError("download failed");
    }
    const auto n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * packageSize);
    state.counters["cpu_s"] = cpu / n;
    state.counters["progressCallsPerSecond"] = static_cast<double>(calls) / seconds;
    state.counters["peakRssKiB"] = static_cast<double>(peakRssKiB());
    state.counters["rssGrowthKiB"] = static_cast<double>(peakRssKiB() - rssBefore);
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

bool curlCommand(const fs::path& file) {
    const Host& h = host();
    return testing::runProcess({"/usr/bin/curl", "-sS", "--fail", "--cacert", h.ca.caFile.string(),
                                "-o", file.string(), h.url()})
               .status == 0;
}

// Each iteration fetches the package with the curl command, with the download, and with
// the download that never syncs, in turns, so that all three meet the same load. A fetch
// is timed until its caller has the file: curl's exit, the download's completion. The
// iteration's time is the download's; speed_vs_curl above 1 is faster than curl.
void BM_AgainstCurl(benchmark::State& state) {
    host();
    testing::TempDir out;
    std::optional<DiskWriter> writer;
    if (state.range(0) != 0)
        writer.emplace(out / "writer.bin");
    std::vector<double> curl, synced, unsynced;
    double cpuCurl = 0, cpuSynced = 0, cpuUnsynced = 0;
    int flushes = 0;
    std::size_t turn = 0;
    const NoSync none;
    for (auto _ : state) {
        // The wait for one fetch, in seconds, as `fetch` gives it (-1: it failed); all the
        // processor time it took is added to `cpu`.
        const auto timed = [&](double& cpu, const auto& fetch) {
            fs::remove(out / "package.dmg");
            const double cpuBefore = cpuSeconds() + childCpuSeconds();
            const double waited = fetch();
            if (waited < 0)
                state.SkipWithError("a fetch failed");
            cpu += cpuSeconds() + childCpuSeconds() - cpuBefore;
            return waited;
        };
        const auto downloaded = [&](const platform::DiskSync& disk) {
            const Run run = download(out.path(), -1, disk);
            return run.ok ? run.waited : -1;
        };
        const CountingSync counting;
        // In turns, since each meets the write-back of the one before it.
        const std::function<void()> fetches[] = {
            [&] {
                curl.push_back(timed(cpuCurl, [&] {
                    const auto began = std::chrono::steady_clock::now();
                    const bool ok = curlCommand(out / "package.dmg");
                    return ok ? Seconds(std::chrono::steady_clock::now() - began).count() : -1;
                }));
            },
            [&] { synced.push_back(timed(cpuSynced, [&] { return downloaded(counting); })); },
            [&] { unsynced.push_back(timed(cpuUnsynced, [&] { return downloaded(none); })); }};
        for (std::size_t k = 0; k < std::size(fetches); ++k)
            fetches[(k + turn) % std::size(fetches)]();
        ++turn;
        flushes += counting.fullFlushes;
        state.SetIterationTime(synced.back());
    }
    // Medians: on a shared machine one fetch that met someone else's burst says nothing.
    const double c = median(curl), d = median(synced), u = median(unsynced);
    const auto n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * packageSize);
    state.counters["curl_ms"] = 1000 * c;
    state.counters["download_ms"] = 1000 * d;
    state.counters["speed_vs_curl"] = c / d;
    state.counters["unsynced_ms"] = 1000 * u;
    state.counters["unsynced_vs_curl"] = c / u;
    state.counters["fullFlushes"] = flushes / n;
    // Processor time of this process and its children, nginx's not included.
    state.counters["curlCpu_ms"] = 1000 * cpuCurl / n;
    state.counters["downloadCpu_ms"] = 1000 * cpuSynced / n;
    state.counters["unsyncedCpu_ms"] = 1000 * cpuUnsynced / n;
}

// Killed outright at about half, in a process of its own, and started again: the bytes
// written after the last checkpoint are fetched twice, at most 1 % of the package plus
// one checkpoint interval and its sync. At loopback speed an interval is its time, not
// its bytes: shown as what arrives in it.
void BM_Killed(benchmark::State& state) {
    host();
    testing::TempDir out;
    const fs::path partial = out / "package.dmg.partial";
    double again = 0, interval = 0;
    for (auto _ : state) {
        fs::remove_all(out.path());
        fs::create_directories(out.path());
        const auto began = std::chrono::steady_clock::now();
        const int pid = ::fork();
        if (pid == 0)
            ::_exit(download(out.path()).ok ? 0 : 1);
        std::error_code absent;
        while (static_cast<std::int64_t>(fs::file_size(partial, absent)) < packageSize / 2 &&
               ::waitpid(pid, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ::kill(pid, SIGKILL);
        testing::waitForChild(pid, std::chrono::seconds(10));
        const auto received = static_cast<std::int64_t>(fs::file_size(partial, absent));
        const double rate = static_cast<double>(received) /
                            Seconds(std::chrono::steady_clock::now() - began).count();
        interval += std::max(static_cast<double>(transfer::checkpointBytes),
                             rate * Seconds(transfer::checkpointInterval).count());
        // Killed within the first interval, it has no record yet and starts over.
        const fs::path recordFile = out / "package.dmg.resume";
        const auto record =
            fs::exists(recordFile)
                ? transfer::decodeResumeRecord(
                      platform::readFile(recordFile, transfer::resumeRecordLimit))
                : std::nullopt;
        if (!download(out.path()).ok) {
            state.SkipWithError("the second start failed");
            break;
        }
        again += static_cast<double>(received - (record ? record->bytes : 0));
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["fetchedTwice_KiB"] = again / n / 1024;
    state.counters["fetchedTwice_pct"] = 100 * again / n / packageSize;
    state.counters["interval_KiB"] = interval / n / 1024;
}

// Interrupted at about half and started again: every byte the two starts wrote beyond the
// package's size was transferred twice.
void BM_Resume(benchmark::State& state) {
    host();
    testing::TempDir out;
    double again = 0;
    for (auto _ : state) {
        fs::remove_all(out.path());
        fs::create_directories(out.path());
        const Run first = download(out.path(), packageSize / 2);
        const auto record = transfer::decodeResumeRecord(
            platform::readFile(out / "package.dmg.resume", transfer::resumeRecordLimit));
        const Run second = download(out.path());
        if (!record || !second.ok) {
            state.SkipWithError("no resume record, or the second start failed");
            break;
        }
        // The second start's totals include the bytes it took over.
        const std::int64_t fetched = first.lastWritten + (second.lastWritten - record->bytes);
        again += static_cast<double>(fetched - packageSize) / packageSize;
        state.counters["takenOver"] = static_cast<double>(record->bytes);
    }
    state.counters["retransferredPct"] = 100 * again / static_cast<double>(state.iterations());
}

BENCHMARK(BM_AgainstCurl)
    ->ArgName("writer")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(9);
BENCHMARK(BM_Download)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Resume)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_Killed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
