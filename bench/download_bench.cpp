// Download of a 250 MiB package from nginx over loopback HTTPS, against the curl command
// fetching the same URL in the same run; then an interrupted transfer resumed.

#include "hosts/hosts.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "platform/file.h"
#include "transfer/download.h"
#include "transfer/resume_record.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <future>
#include <random>
#include <sys/resource.h>

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

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Run {
    bool ok = false;
    std::int64_t lastWritten = 0;
    std::int64_t calls = 0;
};

// One transfer into `folder`; `stopAt` cancels it once that many bytes are written.
Run download(const fs::path& folder, std::int64_t stopAt = -1) {
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
                         {.caBundle = h.ca.caFile.string(), .connectTo = {}});
    self = &d;
    d.start(h.url(), [&](transfer::DownloadResult result) {
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

void BM_CurlCommand(benchmark::State& state) {
    const Host& h = host();
    testing::TempDir out;
    for (auto _ : state) {
        const auto result = testing::runProcess({"/usr/bin/curl", "-sS", "--fail", "--cacert",
                                                 h.ca.caFile.string(), "-o",
                                                 (out / "package.dmg").string(), h.url()});
        if (result.status != 0)
            state.SkipWithError(("curl failed: " + result.err).c_str());
    }
    state.SetBytesProcessed(state.iterations() * packageSize);
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

BENCHMARK(BM_CurlCommand)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(2);
BENCHMARK(BM_Download)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(2);
BENCHMARK(BM_Resume)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace

BENCHMARK_MAIN();
