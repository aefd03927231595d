// The new app's health file confirms its start only when it says exactly this release
// is ready; whatever else is at its path must neither confirm nor stop the wait.

#include "install/health_file.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::testing {
namespace {

TEST(HealthFile, OnlyAWholeMatchingFileConfirms) {
    using namespace std::string_literals;
    const std::string good = R"({"version":"1.1.0","buildNumber":110,"ready":true})";
    const struct {
        std::string text;
        bool confirms;
    } cases[] = {
        {good, true},
        {R"({"ready":true,"buildNumber":110.0,"version":"1.1.0","pid":7})", true},
        {R"({"version":"1.1.0","buildNumber":110,"ready":false})", false},
        {R"({"version":"1.1.00","buildNumber":110,"ready":true})", false},
        {R"({"version":"1.1.0","buildNumber":110.5,"ready":true})", false},
        {R"({"version":"1.1.0","buildNumber":110,"ready":1})", false},
        {R"({"version":)", false}, // half written
        {good + "\0"s, false},
        // Its first megabyte would confirm; what follows makes it no health file.
        {good + std::string(1'100'000, ' '), false},
    };
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir / "health.json", c.text);
        EXPECT_EQ(install::healthFileConfirms(dir / "health.json", "1.1.0", 110), c.confirms)
            << c.text.substr(0, 80);
    }
    // A FIFO whose writer never writes: refused at once, not read forever.
    ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
    const int writer = ::open((dir / "fifo.json").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_FALSE(install::healthFileConfirms(dir / "fifo.json", "1.1.0", 110));
    ::close(writer);
}

} // namespace
} // namespace installer::testing
