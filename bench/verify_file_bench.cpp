// verifyFile on a 250 MiB package against `openssl dgst -sha256` on the same file, in
// the same run. The file is read from the page cache by both, so this compares the
// hashing loops, not the disk.

#include "support/process.h"
#include "support/temp_dir.h"
#include "trust/crypto.h"
#include "trust/verify_file.h"

#include <benchmark/benchmark.h>
#include <fstream>
#include <random>
#include <sys/resource.h>

namespace {

using namespace installer;

constexpr std::int64_t packageSize = 262'144'000;

struct Package {
    testing::TempDir dir;
    std::filesystem::path file = dir / "package.dmg";
    release::Package record;

    Package() {
        std::ofstream out(file, std::ios::binary);
        std::mt19937_64 random(7);
        std::vector<std::uint64_t> chunk(1 << 17);
        trust::Sha256 hasher;
        for (std::int64_t written = 0; written < packageSize;) {
            for (auto& word : chunk)
                word = random();
            const auto bytes = static_cast<std::streamsize>(
                std::min<std::int64_t>(packageSize - written, chunk.size() * 8));
            out.write(reinterpret_cast<const char*>(chunk.data()), bytes);
            hasher.update(chunk.data(), static_cast<std::size_t>(bytes));
            written += bytes;
        }
        const auto digest = hasher.finish();
        record.sizeBytes = packageSize;
        record.sha256 =
            trust::hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 32));
    }
};

Package& package() {
    static Package made;
    return made;
}

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_VerifyFile(benchmark::State& state) {
    auto& p = package();
    const long before = peakRssKiB();
    for (auto _ : state)
        trust::verifyFile(p.file, p.record);
    state.SetBytesProcessed(state.iterations() * packageSize);
    state.counters["peakRssKiB"] = static_cast<double>(peakRssKiB());
    state.counters["rssGrowthKiB"] = static_cast<double>(peakRssKiB() - before);
}

void BM_OpenSSLDgst(benchmark::State& state) {
    auto& p = package();
    for (auto _ : state) {
        const auto result =
            testing::runProcess({"/usr/bin/openssl", "dgst", "-sha256", p.file.string()});
        if (result.status != 0)
            state.SkipWithError("openssl failed");
    }
    state.SetBytesProcessed(state.iterations() * packageSize);
}

BENCHMARK(BM_OpenSSLDgst)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5)
    ->Repetitions(3);
BENCHMARK(BM_VerifyFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5)
    ->Repetitions(3);

} // namespace

BENCHMARK_MAIN();
