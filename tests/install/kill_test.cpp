// The installer killed with SIGKILL at each move of the swap. The transaction runs in a
// forked child that stops at the chosen moment; whatever happens, a complete bundle must
// be at the target or under its hidden previous-copy name beside it.

#include "install_fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;

// A complete, working bundle survives: sealed, of the old or the new version.
void expectAppSurvives(const InstallSandbox& box, const std::string& moment) {
    const auto usable = [&](const fs::path& bundle) {
        const std::string version = bundleShortVersion(bundle);
        return box.sealed(bundle) && (version == "1.0.0" || version == "1.1.0");
    };
    if (fs::exists(box.target)) {
        EXPECT_TRUE(usable(box.target)) << moment;
        return;
    }
    int previous = 0;
    for (const auto& name : box.hiddenEntries())
        if (name.rfind(".tavelo-previous-", 0) == 0) {
            ++previous;
            EXPECT_EQ(bundleShortVersion(box.apps / name), "1.0.0") << moment;
            EXPECT_TRUE(box.sealed(box.apps / name)) << moment;
        }
    EXPECT_EQ(previous, 1) << moment << ": nothing at the target and no previous copy";
}

TEST(KillDuringSwap, TheApplicationSurvivesAKillAtEveryMove) {
    // (move number, before or after it)
    const std::pair<int, bool> moments[] = {{1, true}, {1, false}, {2, true}, {2, false}};
    int killed = 0;
    for (const auto& [move, before] : moments) {
        InstallSandbox box;
        box.installAtTarget({.version = "1.0.0", .build = "100"});
        const Release release = box.release();
        int signal[2];
        ASSERT_EQ(::pipe(signal), 0);
        const auto stopHere = [&, fd = signal[1]] {
            const char byte = 1;
            (void)!::write(fd, &byte, 1);
            for (;;)
                ::pause();
        };
        box.files.beforeMove = [&, move = move, before = before](int n, const fs::path&, const fs::path&) {
            if (before && n == move)
                stopHere();
        };
        box.files.afterMove = [&, move = move, before = before](int n) {
            if (!before && n == move)
                stopHere();
        };
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            box.install(release);
            ::_exit(0);
        }
        ::close(signal[1]);
        char byte = 0;
        const std::string moment = std::string(before ? "before" : "after") + " move " +
                                   std::to_string(move);
        ASSERT_EQ(::read(signal[0], &byte, 1), 1) << moment << ": never reached";
        ::close(signal[0]);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status));
        ++killed;
        expectAppSurvives(box, moment);
    }
    EXPECT_EQ(killed, 4);
}

} // namespace
} // namespace installer::testing
