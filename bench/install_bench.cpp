// The install transaction's own overhead. A 200 MiB bundle in 1,600 files is installed
// over an older one with the emulated tools; each tool is wrapped to record its own run
// time, and verifyFile is timed on the same image in the same run. Sleeping is real here
// and counted apart: it is the poll for the health file, waiting on the new app's start.
// What is left of the install time after tool runs, package check and sleeping is what
// the transaction itself costs (checks, moves, removing the previous copy). Of that, the
// syncs that make it survive a power cut are timed apart: the staging copy's tree (which
// runs beside the copy's signature check, so only what outlasts that check adds to the
// install's time), the folder after each rename, and the transaction record's durable
// writes; and their flushes through the drive's cache (F_FULLFSYNC on macOS) counted.

#include "counting_sync.h"
#include "install/install_fixture.h"
#include "support/fixtures.h"
#include "trust/verify_file.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <fstream>
#include <random>
#include <sstream>

namespace {

using namespace installer;
using namespace installer::testing;
namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

using bench::CountingSync;

// The real file operations, with the time spent in each kind of sync, and its flushes,
// added up.
class TimedFiles final : public platform::FileManager {
public:
    struct Spent {
        double seconds = 0;
        int flushes = 0;
    };
    mutable Spent tree, folders, records, removals;
    // When the last tree sync ended, in seconds since the epoch, as the tools' times are.
    mutable double treeEnded = 0;

    explicit TimedFiles(const CountingSync& disk) : FileManager(disk), disk_(disk) {}

    void syncTree(const fs::path& root) const override {
        timed(tree, [&] { FileManager::syncTree(root); });
        treeEnded = Seconds(std::chrono::system_clock::now().time_since_epoch()).count();
    }
    void remove(const fs::path& path) const override {
        timed(removals, [&] { FileManager::remove(path); });
    }
    void sync(const fs::path& path) const override {
        timed(folders, [&] { FileManager::sync(path); });
    }
    void writeDurably(const fs::path& path, std::string_view bytes) const override {
        timed(records, [&] { FileManager::writeDurably(path, bytes); });
    }

private:
    template <typename F> void timed(Spent& total, F operation) const {
        const auto began = std::chrono::steady_clock::now();
        const int flushes = disk_.fullFlushes;
        operation();
        total.seconds += Seconds(std::chrono::steady_clock::now() - began).count();
        total.flushes += disk_.fullFlushes - flushes;
    }

    const CountingSync& disk_;
};

constexpr int folders = 40;
constexpr int filesPerFolder = 40;
constexpr std::size_t fileSize = 131'072; // 1,600 files of 128 KiB: 200 MiB

void makePayload(const fs::path& root) {
    std::mt19937_64 random(11);
    std::vector<std::uint64_t> words(fileSize / 8);
    for (int f = 0; f < folders; ++f) {
        const fs::path folder = root / ("part-" + std::to_string(f));
        fs::create_directories(folder);
        for (int n = 0; n < filesPerFolder; ++n) {
            for (auto& word : words)
                word = random();
            std::ofstream(folder / ("chunk-" + std::to_string(n) + ".bin"), std::ios::binary)
                .write(reinterpret_cast<const char*>(words.data()), fileSize);
        }
    }
}

struct ToolRun {
    std::string tool;
    double start = 0, end = 0;
};

std::vector<ToolRun> readRuns(const fs::path& file) {
    std::vector<ToolRun> runs;
    std::istringstream in(readText(file));
    for (ToolRun run; in >> run.tool >> run.start >> run.end;)
        runs.push_back(run);
    return runs;
}

void BM_InstallOverhead(benchmark::State& state) {
    InstallSandbox box;
    box.system.realSleepShare = 1; // real waits: this measures real time
    const fs::path times = box.root / "tool-times";
    for (const char* tool : {"hdiutil", "lipo", "codesign", "ditto", "open"})
        box.overrideTool(tool,
                         "start=$EPOCHREALTIME\n\"$real\" \"$@\"\nstatus=$?\n"
                         "printf '%s %s %s\\n' \"${0##*/}\" \"$start\" \"$EPOCHREALTIME\" >> '" +
                             times.string() + "'\nexit $status\n");
    makePayload(box.root / "payload");
    const Release old =
        box.release({.version = "1.0.0", .build = "100", .payload = box.root / "payload"});
    const Release next =
        box.release({.version = "1.1.0", .build = "110", .payload = box.root / "payload"});
    fs::remove_all(box.root / "payload");

    double total = 0, tools = 0, verify = 0, health = 0, treeOutlasted = 0;
    const CountingSync disk;
    const TimedFiles files(disk);
    const install::InstallEnvironment environment{box.tools.string(), box.system, files, stdout};
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(box.target);
        fs::copy(old.bundle, box.target,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::remove(times);
        const auto sleptBefore = box.system.slept;
        state.ResumeTiming();

        const auto began = std::chrono::steady_clock::now();
        try {
            install::install(
                next.image, manifestFor(next, {.version = "1.1.0", .build = "110"}), box.target,
                std::nullopt, [](const std::string&) {}, environment);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
        const auto ended = std::chrono::steady_clock::now();

        state.PauseTiming();
        const auto verifyBegan = std::chrono::steady_clock::now();
        trust::verifyFile(next.image, next.package);
        verify += Seconds(std::chrono::steady_clock::now() - verifyBegan).count();
        double codesignEnded = 0;
        for (const auto& run : readRuns(times)) {
            tools += run.end - run.start;
            if (run.tool == "codesign")
                codesignEnded = std::max(codesignEnded, run.end);
        }
        treeOutlasted += std::max(0.0, files.treeEnded - codesignEnded);
        health += Seconds(box.system.slept - sleptBefore).count();
        total += Seconds(ended - began).count();
        state.ResumeTiming();
    }
    const auto n = static_cast<double>(state.iterations());
    const double overhead = total - tools - verify - health;
    state.counters["install_s"] = total / n;
    state.counters["tools_s"] = tools / n;
    state.counters["verifyFile_s"] = verify / n;
    state.counters["healthPoll_s"] = health / n;
    state.counters["overhead_s"] = overhead / n;
    state.counters["overhead_pct"] = 100 * overhead / (tools + verify);
    // Each sync's share of the install's time; the tree's is mostly hidden by codesign.
    state.counters["syncTree_pct"] = 100 * files.tree.seconds / total;
    state.counters["syncFolder_pct"] = 100 * files.folders.seconds / total;
    state.counters["syncRecord_pct"] = 100 * files.records.seconds / total;
    state.counters["syncTree_s"] = files.tree.seconds / n;
    // What the install waited for the tree once codesign was done: all the tree adds.
    state.counters["syncTreeOutlasted_s"] = treeOutlasted / n;
    // The previous copy's removal, after the new one's start is confirmed.
    state.counters["remove_pct"] = 100 * files.removals.seconds / total;
    state.counters["flushes"] = disk.fullFlushes / n;
    state.counters["flushesTree"] = files.tree.flushes / n;
    state.counters["flushesFolder"] = files.folders.flushes / n;
    state.counters["flushesRecord"] = files.records.flushes / n;
}

BENCHMARK(BM_InstallOverhead)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
