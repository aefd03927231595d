// The whole verification-mode process against /bin/true measured in the same run: what
// the installer costs beyond starting a process at all.

#include "platform/system.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

namespace {

using namespace installer;

struct Envelope {
    testing::TempDir dir;
    std::string path = (dir / "signed.json").string();

    Envelope() {
        const std::string pem = testing::readText(TEST_SIGNING_KEY);
        testing::Signer signer{{pem, signing::publicKeyOf(pem)}, "test-release-v1"};
        const platform::RealSystem machine;
        testing::FakeSystem now;
        now.clock = machine.now() + std::chrono::minutes(5); // stays valid through the run
        now.processor = machine.processorName();
        auto manifest = testing::validManifest(now);
        manifest["issuedAt"] = testing::internetTime(machine.now() - std::chrono::seconds(5));
        manifest["environment"] = "sit";
        manifest["minOS"] = "1.0";
        manifest["package"]["appId"] = "com.tavelo.desktop.sit";
        manifest["package"]["url"] = "https://localhost/AI.dmg";
        testing::writeFile(path, signer.envelope(manifest.dump()));
    }
};

void BM_True(benchmark::State& state) {
    for (auto _ : state)
        testing::runProcess({"/bin/true"});
}

void BM_VerifyManifestProcess(benchmark::State& state) {
    static Envelope envelope;
    for (auto _ : state) {
        const auto result =
            testing::runProcess({INSTALLER_TEST_BINARY, "--verify-manifest", envelope.path});
        if (result.status != 0)
            state.SkipWithError(result.err.c_str());
    }
}

BENCHMARK(BM_True)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(200)
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_VerifyManifestProcess)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(200)
    ->Repetitions(5)
    ->ReportAggregatesOnly();

} // namespace

BENCHMARK_MAIN();
