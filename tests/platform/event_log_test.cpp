// The log file as several installers share it: bounded, whole lines only, never a
// link or a FIFO followed.

#include "platform/file_event_log.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream text(fs::exists(file) ? readText(file) : "");
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

// "<writer> <number> <length> <payload>": a line that lost or gained bytes no longer
// adds up.
std::string numberedLine(char writer, int number, std::size_t payload) {
    return std::string(1, writer) + " " + std::to_string(number) + " " + std::to_string(payload) +
           " " + std::string(payload, writer) + "\n";
}

bool whole(const std::string& line) {
    static const std::regex form(R"(([a-z]) (\d+) (\d+) ([a-z]*))");
    std::smatch match;
    return std::regex_match(line, match, form) && match[4].length() == std::stol(match[3].str()) &&
           match[4].str().find_first_not_of(match[1].str()) == std::string::npos;
}

TEST(LogFile, PastItsCapTheFileBecomesThePreviousOneAndNothingElseIsKept) {
    TempDir dir;
    const fs::path path = dir / "installer.log";
    platform::LogFile log(path, 4096);
    for (int number = 1; number <= 300; ++number)
        ASSERT_TRUE(log.append(numberedLine('a', number, 80)));

    EXPECT_LE(fs::file_size(path), 4096u);
    EXPECT_LE(fs::file_size(log.previousFile()), 4096u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    const auto current = linesOf(path), previous = linesOf(log.previousFile());
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(previous.empty());
    EXPECT_EQ(current.back(), numberedLine('a', 300, 80).substr(0, current.back().size()));
    // Not a line lost where one file ends and the other begins.
    const auto numberOf = [](const std::string& line) { return std::stoi(line.substr(2)); };
    EXPECT_EQ(numberOf(previous.back()) + 1, numberOf(current.front()));
    for (const auto* lines : {&current, &previous})
        for (const auto& line : *lines)
            EXPECT_TRUE(whole(line)) << line;
}

TEST(LogFile, TwoProcessesAppendingAndRotatingAtOnceLeaveWholeLinesOnly) {
    TempDir dir;
    const fs::path path = dir / "installer.log";
    constexpr std::uintmax_t cap = 16 * 1024;
    std::vector<pid_t> writers;
    for (const char writer : {'a', 'b'}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            platform::LogFile log(path, cap);
            bool written = true;
            for (int number = 1; number <= 3000; ++number)
                written = log.append(numberedLine(writer, number, 20 + number % 300)) && written;
            ::_exit(written ? 0 : 1);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const fs::path previous = path.string() + ".1";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    // A rotation keeps a full file: one rotated twice over would leave a nearly empty one.
    EXPECT_GE(fs::file_size(previous), cap - 400);
    // Each file may pass the cap by the line the other writer added after the check.
    for (const auto& file : {path, previous}) {
        EXPECT_LE(fs::file_size(file), cap + 400) << file;
        const auto lines = linesOf(file);
        EXPECT_FALSE(lines.empty()) << file;
        for (const auto& line : lines)
            EXPECT_TRUE(whole(line)) << file << ": " << line;
    }
}

TEST(LogFile, AnythingButAFileAtThePathIsNotFollowedAndTheLogIsGivenUp) {
    const struct {
        const char* situation;
        std::function<void(const fs::path& log, const fs::path& elsewhere)> arrange;
    } rows[] = {
        {"a link to a file", [](const fs::path& log,
                                const fs::path& elsewhere) { fs::create_symlink(elsewhere, log); }},
        {"a link to nothing",
         [](const fs::path& log, const fs::path& elsewhere) {
             fs::remove(elsewhere);
             fs::create_symlink(elsewhere, log);
         }},
        {"a FIFO without a reader",
         [](const fs::path& log, const fs::path&) { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }},
        {"a folder", [](const fs::path& log, const fs::path&) { fs::create_directory(log); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.situation);
        TempDir dir;
        const fs::path path = dir / "installer.log", elsewhere = dir / "notes.txt";
        writeFile(elsewhere, "mine");
        row.arrange(path, elsewhere);
        platform::LogFile log(path, 4096);
        EXPECT_FALSE(log.append("one\n"));
        std::error_code error;
        fs::remove(path, error); // a plain file now, but this run has given its log up
        EXPECT_FALSE(log.append("two\n"));
        EXPECT_EQ(fs::exists(elsewhere) ? readText(elsewhere) : "",
                  fs::exists(elsewhere) ? "mine" : "");
        EXPECT_FALSE(fs::exists(path));
    }
}

TEST(FileEventLog, AnEventStaysOneStampedLineWithinTheLineCap) {
    TempDir dir;
    const fs::path path = dir / "Logs" / "AI澄翎网盘" / "installer.log";
    std::string standardError = "line one\nline \"two\"\t\x01\n";
    for (int i = 0; i < 5000; ++i)
        standardError += "澄";
    {
        const platform::FileEventLog log(path);
        platform::Event(log, "tool").with("path", "/usr/bin/hdiutil").with("stderr", standardError);
        platform::Event(log, "outcome").with("result", "ok");
    }
    const auto lines = linesOf(path);
    ASSERT_EQ(lines.size(), 2u);
    // Cut at most a character (three bytes here) short of the cap, line feed included.
    EXPECT_LE(lines[0].size() + 1, 8192u);
    EXPECT_GT(lines[0].size() + 1, 8192u - 3);
    EXPECT_TRUE(lines[0].ends_with("澄 [cut]")) << lines[0].substr(lines[0].size() - 20);
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4} \[(\d+)\] (.*))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, stamp)) << lines[0].substr(0, 80);
    EXPECT_EQ(match[1].str(), std::to_string(::getpid()));
    EXPECT_TRUE(match[2].str().starts_with(
        R"(tool path=/usr/bin/hdiutil stderr="line one\nline \"two\"\t\x01\n澄澄)"));
    ASSERT_TRUE(std::regex_match(lines[1], match, stamp));
    EXPECT_EQ(match[2].str(), "outcome result=ok");
}

} // namespace
} // namespace installer::testing
