#include "platform/installer_error.h"
#include "trust/base64url.h"

#include <gtest/gtest.h>

namespace installer::trust {
namespace {

TEST(Decode64, RefusesEverythingButUnpaddedBase64url) {
    const char* refused[] = {
        "",          // empty
        "QUJDR",     // n mod 4 = 1 never decodes
        "QUI=",      // valid padded base64, but padding is refused
        "ab+c",      // standard alphabet
        "ab/c",
        "QU JD",     // space
        "QUJD\nQUJD",
        "QUJD\n",    // passes the pattern through its final line feed, then fails to decode
        "QUJD\r\n",
        "QUJ\xC3\xA9",
    };
    for (const char* text : refused) {
        try {
            decode64(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const InstallerError& error) {
            EXPECT_STREQ(error.what(), "签名数据无效") << text;
        }
    }
}

TEST(Decode64, DecodesEveryPaddingLength) {
    EXPECT_EQ(decode64("QUJD"), "ABC");
    EXPECT_EQ(decode64("QUI"), "AB");
    EXPECT_EQ(decode64("QQ"), "A");
    EXPECT_EQ(decode64("-_-_"), "\xfb\xff\xbf");
    EXPECT_EQ(decode64(std::string(43, 'A')).size(), 32u);
    EXPECT_EQ(decode64(std::string(86, 'A')).size(), 64u);
}

TEST(Decode64, RoundTripsEveryByteValue) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    for (std::size_t length = 0; length < 7; ++length) {
        const std::string sample = bytes.substr(250 - length * 40, length * 40 + 1);
        EXPECT_EQ(decode64(encode64(sample)), sample);
    }
}

} // namespace
} // namespace installer::trust
