// The real binary of the test edition, as a user or the installed application runs it:
// its compiled-in settings, standard output, standard error and exit status. Which mode
// runs and the order of its checks are in tests/entry.

#include "support/fixtures.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace installer::testing {
namespace {

TEST(Cli, OneLineOnTheRightStreamAndTheExitStatusTellTheOutcome) {
    const TempDir dir;
    writeFile(dir / "good.json", testEditionSigner().envelope(testEditionManifest().dump()));
    const struct {
        std::vector<std::string> args;
        ProcessResult expected;
    } cases[] = {
        {{"--verify-manifest", (dir / "good.json").string()}, {0, "VERIFIED 1.4.2\n", ""}},
        {{"--update", "--manifest", (dir / "good.json").string(), "--wait-pid", "1"},
         {1, "", "安装失败：进程参数无效\n"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {INSTALLER_TEST_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProcessResult result = runProcess(argv);
        EXPECT_EQ(result.status, c.expected.status) << c.args.front();
        EXPECT_EQ(result.out, c.expected.out) << c.args.front();
        EXPECT_EQ(result.err, c.expected.err) << c.args.front();
    }
}

} // namespace
} // namespace installer::testing
