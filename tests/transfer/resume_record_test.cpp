#include "transfer/resume_record.h"

#include <gtest/gtest.h>

namespace installer::transfer {
namespace {

TEST(ResumeRecord, RoundTripsAndRefusesWhatCannotBeContinuedSafely) {
    const ResumeRecord record{"https://h.example/p.dmg", "package.dmg.partial", 1234, "\"abc\"", ""};
    const auto back = decodeResumeRecord(encodeResumeRecord(record));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->url, record.url);
    EXPECT_EQ(back->bytes, 1234);
    EXPECT_EQ(back->validator(), "\"abc\"");

    const auto with = [&](auto change) {
        ResumeRecord r = record;
        change(r);
        return decodeResumeRecord(encodeResumeRecord(r)).has_value();
    };
    EXPECT_TRUE(with([](ResumeRecord& r) { r.etag.clear(), r.lastModified = "Mon, 07 Dec 2026 03:00:00 GMT"; }));
    EXPECT_FALSE(with([](ResumeRecord& r) { r.etag.clear(); }));  // no validator: could splice
    EXPECT_FALSE(with([](ResumeRecord& r) { r.etag = "W/\"weak\""; }));
    EXPECT_FALSE(with([](ResumeRecord& r) { r.bytes = 0; }));
    EXPECT_FALSE(with([](ResumeRecord& r) { r.bytes = -5; }));
    EXPECT_FALSE(with([](ResumeRecord& r) { r.partialFile = "../../home/user/.zshrc"; }));
    EXPECT_FALSE(with([](ResumeRecord& r) { r.partialFile = "/etc/passwd"; }));
    EXPECT_FALSE(with([](ResumeRecord& r) { r.partialFile = ".."; }));
    EXPECT_FALSE(with([](ResumeRecord& r) { r.partialFile.clear(); }));

    for (const std::string& corrupt : std::vector<std::string>{"", "{", "[]", "null", R"({"url":"u"})", R"({"url":1,"partialFile":"p","bytes":1,"etag":"e","lastModified":""})",
          R"({"url":"u","partialFile":"p","bytes":"1","etag":"e","lastModified":""})",
          R"({"url":"u","partialFile":"p","bytes":1.5,"etag":"e","lastModified":""})",
          std::string("{\"url\":\"u\0\",", 12)})
        EXPECT_FALSE(decodeResumeRecord(corrupt)) << corrupt;
}

} // namespace
} // namespace installer::transfer
