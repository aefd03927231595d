#include "platform/installer_error.h"
#include "trust/version.h"

#include <gtest/gtest.h>

namespace installer::trust {
namespace {

std::string errorOf(std::string_view text) {
    try {
        version(text);
        return "accepted";
    } catch (const InstallerError& error) {
        return error.what();
    }
}

TEST(VersionText, ParsesStrictThreePartVersions) {
    EXPECT_EQ(version("1.2.3"), (Version{1, 2, 3}));
    EXPECT_EQ(version("0.0.0"), (Version{0, 0, 0}));
    EXPECT_EQ(version("4294967295.0.10"), (Version{4294967295u, 0, 10}));
}

TEST(VersionText, NamesTheFormOrTheValueAsTheFault) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"01.2.3", "版本格式无效"}, {"1.2", "版本格式无效"},       {"1.2.3.4", "版本格式无效"},
        {"1.2.3-beta", "版本格式无效"}, {"v1.2.3", "版本格式无效"}, {"1.2. 3", "版本格式无效"},
        {"", "版本格式无效"},       {"1..3", "版本格式无效"},      {"1.2.3\n\n", "版本格式无效"},
        {"+1.2.3", "版本格式无效"}, {"4294967296.0.0", "版本无效"},
        {"99999999999999999999.0.0", "版本无效"},
        // The pattern's $ lets one final line terminator through; the number parse
        // of the last part then fails.
        {"1.2.3\n", "版本无效"},     {"1.2.3\r\n", "版本无效"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorOf(c.text), c.error) << '"' << c.text << '"';
}

TEST(VersionOrder, ComparesNumericallyAndReportsTheFirstBadArgument) {
    EXPECT_EQ(compare("1.10.0", "1.9.9"), 1);
    EXPECT_EQ(compare("2.0.0", "2.0.0"), 0);
    EXPECT_EQ(compare("1.0.5", "1.1.0"), -1);
    EXPECT_EQ(compare("4294967295.0.0", "4294967294.9.9"), 1);
    try {
        compare("1.0", "4294967296.0.0");
        FAIL();
    } catch (const InstallerError& error) {
        EXPECT_STREQ(error.what(), "版本格式无效");
    }
}

} // namespace
} // namespace installer::trust
