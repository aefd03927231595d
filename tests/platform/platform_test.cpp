#include "platform/bundle.h"
#include "platform/durable.h"
#include "platform/property_list.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace installer::platform {
namespace {

using namespace std::string_literals;

std::string bigEndian(std::uint64_t value, int width) {
    std::string bytes;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        bytes.push_back(static_cast<char>(value >> shift));
    return bytes;
}

// A binary property list whose top object is the first; four-byte offsets.
std::string binary(const std::vector<std::string>& objects, int refSize = 1) {
    std::string data = "bplist00", table;
    for (const auto& object : objects) {
        table += bigEndian(data.size(), 4);
        data += object;
    }
    const std::size_t tableAt = data.size();
    return data + table + std::string(6, '\0') + char(4) + char(refSize) +
           bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(tableAt, 8);
}

std::string xml(const std::string& value) {
    return "<?xml version=\"1.0\"?><plist>" + value + "</plist>";
}

std::string repeat(const std::string& text, int times) {
    std::string repeated;
    for (int i = 0; i < times; ++i)
        repeated += text;
    return repeated;
}

std::string nested(int depth) {
    return xml(repeat("<array>", depth) + repeat("</array>", depth));
}

// The bytes copied to the end of a mapping whose next page may not be read: a reader
// that looks one byte past the end crashes instead of reading what happens to follow.
struct Fenced {
    explicit Fenced(const std::string& bytes) {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        size = (bytes.size() / page + 2) * page;
        void* mapped =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED ||
            ::mprotect(static_cast<char*>(mapped) + size - page, page, PROT_NONE) != 0)
            throw std::bad_alloc();
        base = static_cast<char*>(mapped);
        view = {std::copy_backward(bytes.begin(), bytes.end(), base + size - page), bytes.size()};
    }
    ~Fenced() { ::munmap(base, size); }

    std::size_t size;
    char* base;
    std::string_view view;
};

std::string outcome(const std::string& bytes) {
    try {
        const PlistValue value = parsePropertyList(Fenced(bytes).view);
        if (value.kind == PlistValue::Kind::string)
            return "string " + value.text;
        if (value.kind == PlistValue::Kind::integer)
            return "integer " + std::to_string(value.integer);
        return "array of " + std::to_string(value.items.size());
    } catch (const PropertyListError&) {
        return "refused";
    }
}

TEST(PropertyList, HostileListsAreReadWholeOrRefusedQuickly) {
    std::vector<std::string> deep, shared;
    for (std::uint32_t i = 0; i < 466'000; ++i)
        deep.push_back(std::string("\xA1").append(bigEndian(i + 1, 3)));
    deep.push_back("\x50");
    for (char i = 1; i <= 40; ++i)
        shared.push_back("\xA2"s + i + i); // each array names the next one twice
    shared.push_back("\x51x");
    const auto wide = "\xAF\x12\x00\x01\x86\xA0"s + repeat("\x00\x01"s, 100'000); // 100,000 "x"s
    const struct {
        const char* what;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"UTF-16 U+0000", binary({"\x61\x00\x00"s}), "string \0"s},
        {"ASCII NUL", binary({"Sa\0b"s}), "string a\0b"s},
        {"XML NUL reference", xml("<string>a&#0;b</string>"), "string a\0b"s},
        {"XML NUL byte", xml("<string>a\0b</string>"s), "string a\0b"s},
        {"lone surrogate", binary({"\x61\xD8\x00"s}), "refused"},
        {"XML 64 deep", nested(64), "array of 1"},
        {"XML 65 deep", nested(65), "refused"},
        {"XML 200,000 deep", nested(200'000), "refused"},
        {"binary 466,000 deep", binary(deep, 3), "refused"},
        {"2^40 shared references", binary(shared), "refused"},
        {"array inside itself", binary({"\xA1\x00"s}), "refused"},
        {"100,000 references", binary({wide, "\x51x"}, 2), "array of 100000"},
        {"reference past the table", binary({"\xA1\x05"s}), "refused"},
        {"count past the data", binary({"\xAF\x13\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s}), "refused"},
        {"empty", "", "refused"},
        {"ends inside a tag name", "<?xml version=\"1.0\"?><plist", "refused"},
        // Integers: a sixteen-byte one carries 64 bits in its lower half and nothing above.
        {"1-byte integer", binary({"\x10\x2A"s}), "integer 42"},
        {"16-byte integer", binary({"\x14"s + bigEndian(0, 8) + bigEndian(1ull << 56 | 7, 8)}),
         "integer 72057594037927943"},
        {"16-byte integer past 64 bits", binary({"\x14"s + bigEndian(1, 8) + bigEndian(7, 8)}),
         "refused"},
        {"XML integer inside white space", xml("<integer>\n 42\t</integer>"), "integer 42"},
        {"XML integer and more", xml("<integer>4 2</integer>"), "refused"},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(outcome(c.bytes), c.expected) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
    }
}

TEST(Bundle, TheExecutableMustBeOneFileInsideTheBundle) {
    const testing::TempDir dir;
    const auto make = [&](const std::string& name, const std::string& executable) {
        std::filesystem::create_directories(dir / name / "Contents/MacOS");
        testing::writeFile(dir / name / "Contents/MacOS/Tool", "");
        testing::writeFile(dir / name / "Contents/Info.plist",
                           "<plist><dict><key>CFBundleExecutable</key><string>" + executable +
                               "</string></dict></plist>");
        return Bundle::open(dir / name)->executable();
    };
    EXPECT_EQ(make("good.app", "Tool"), dir / "good.app/Contents/MacOS/Tool");
    EXPECT_FALSE(make("escape.app", "../../../../../bin/sh"));
}

// What a power cut after the swap leaves depends on this order: a name is stored only
// after what it points at, and the one flush through the drive's cache comes last.
TEST(Durable, ATreeIsStoredEntriesBeforeTheirFolderAndFlushedOnceAtTheEnd) {
    namespace fs = std::filesystem;
    struct Recording final : DiskSync {
        mutable std::mutex mutex;
        mutable std::vector<std::pair<fs::path, SyncDepth>> synced;
        void sync(int, SyncDepth depth, const fs::path& path) const override {
            const std::lock_guard lock(mutex);
            synced.emplace_back(path, depth);
        }
    };
    const testing::TempDir dir;
    const fs::path root = dir / "X.app", outside = dir / "outside";
    std::vector<fs::path> expected = {root};
    for (const char* folder : {"Contents", "Contents/MacOS", "Contents/Resources/deep/er", "empty"})
        fs::create_directories(root / folder);
    fs::create_directories(outside);
    for (int n = 0; n < 30; ++n)
        testing::writeFile(root / "Contents/Resources/deep/er" / std::to_string(n), "x");
    testing::writeFile(root / "Contents/MacOS/X", "exe");
    testing::writeFile(outside / "not-ours", "y");
    fs::create_directory_symlink(outside, root / "Contents/Frameworks");
    fs::create_symlink("MacOS/X", root / "Contents/link");
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (!entry.is_symlink())
            expected.push_back(entry.path());

    for (int round = 0; round < 3; ++round) { // several threads: the order must always hold
        const Recording disk;
        syncTree(root, disk);
        std::map<fs::path, std::size_t> at;
        for (std::size_t i = 0; i < disk.synced.size(); ++i)
            EXPECT_TRUE(at.emplace(disk.synced[i].first, i).second) << disk.synced[i].first;
        std::vector<fs::path> paths;
        for (const auto& [path, index] : at)
            paths.push_back(path);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(paths, expected);
        for (const auto& [path, index] : at)
            if (path != root)
                EXPECT_LT(index, at[path.parent_path()]) << path;
        EXPECT_EQ(disk.synced.back(), std::pair(root, SyncDepth::throughDriveCache));
        EXPECT_EQ(
            std::count_if(disk.synced.begin(), disk.synced.end(),
                          [](const auto& s) { return s.second == SyncDepth::throughDriveCache; }),
            1);
    }
}

} // namespace
} // namespace installer::platform
