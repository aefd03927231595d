// How responsive the window stays during a whole graphical install: a 40 MB release
// downloaded from nginx over HTTPS, re-checked and installed with the emulated tools,
// while a 5 ms timer on the main thread records how late each of its ticks arrives.
// The longest lateness is the longest the main thread was kept from its events. The
// peer is the install itself: the same run's wall time, and the 50 ms budget. The
// diagnostics log is kept as a real run keeps it.

#include "app/window_sandbox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

using namespace installer::testing;
namespace fs = std::filesystem;

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    TempDir payloadDir;
    {
        std::mt19937_64 random(5);
        std::vector<std::uint64_t> words(1'000'000 / 8);
        for (int n = 0; n < 40; ++n) {
            for (auto& word : words)
                word = random();
            std::ofstream(payloadDir / ("part-" + std::to_string(n)), std::ios::binary)
                .write(reinterpret_cast<const char*>(words.data()), 1'000'000);
        }
    }
    WindowSandbox sandbox({.version = "1.1.0", .build = "110", .payload = payloadDir.path()});

    constexpr qint64 tickMs = 5;
    std::vector<qint64> lateness;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        lateness.push_back(std::max<qint64>(0, sinceTick.restart() - tickMs));
    });
    sinceTick.start();
    ticker.start(tickMs);

    QElapsedTimer wall;
    wall.start();
    const auto phases = sandbox.pressAndWait();
    const double seconds = wall.elapsed() / 1000.0;
    ticker.stop();

    if (sandbox.phase() != "complete") {
        std::fprintf(stderr, "install did not complete: %s\n",
                     sandbox.window.card().detail.c_str());
        return 1;
    }
    std::sort(lateness.begin(), lateness.end());
    const auto at = [&](double share) {
        return lateness[std::min(lateness.size() - 1,
                                 static_cast<std::size_t>(share * lateness.size()))];
    };
    std::printf("package %lld bytes, install %.2f s, phases:",
                static_cast<long long>(sandbox.release.package.sizeBytes), seconds);
    for (const auto& phase : phases)
        std::printf(" %s", phase.c_str());
    std::error_code unwritten;
    std::printf("\ndiagnostics log so far: %ju bytes",
                fs::file_size(sandbox.home / "Library/Logs/installer.log", unwritten));
    std::printf("\nmain-thread ticks %zu: lateness median %lld ms, p99 %lld ms, longest %lld ms "
                "(budget 50 ms)\n",
                lateness.size(), static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
                static_cast<long long>(lateness.back()));
    return 0;
}
