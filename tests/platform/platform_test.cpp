#include "platform/bundle.h"
#include "platform/durable.h"
#include "platform/file.h"
#include "platform/property_list.h"
#include "platform/system.h"
#include "plist_bytes.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace installer::platform {
namespace {

using namespace std::string_literals;

using testing::bigEndian;
using testing::binary;
using testing::repeat;

std::string xml(const std::string& value) {
    return "<?xml version=\"1.0\"?><plist>" + value + "</plist>";
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

std::string describe(const PlistValue& value) {
    switch (value.kind) {
    case PlistValue::Kind::string:
        return "string " + value.text;
    case PlistValue::Kind::integer:
        return "integer " + std::string(value.negative ? "-" : "") + std::to_string(value.integer);
    case PlistValue::Kind::real:
        return "real " + std::to_string(value.real);
    case PlistValue::Kind::date:
        return "date " + std::to_string(static_cast<std::int64_t>(value.real));
    case PlistValue::Kind::data:
        return "data of " + std::to_string(value.text.size());
    case PlistValue::Kind::boolean:
        return value.boolean ? "true" : "false";
    case PlistValue::Kind::array:
        return "array of " + std::to_string(value.items.size());
    case PlistValue::Kind::dictionary: {
        std::string text = "{";
        for (const auto& member : value.members)
            text += member.key + ": " + describe(*value.find(member.key)) + ";";
        return text + "}";
    }
    default:
        return "other";
    }
}

std::string outcome(const std::string& bytes) {
    try {
        return describe(parsePropertyList(Fenced(bytes).view));
    } catch (const PropertyListError&) {
        return "refused";
    }
}

// A binary length: the nibble itself below 15, else 0xF and an integer object.
std::string counted(unsigned char marker, std::size_t count) {
    if (count < 15)
        return std::string(1, static_cast<char>(marker | count));
    return std::string(1, static_cast<char>(marker | 0xF)) + "\x12" + bigEndian(count, 4);
}

std::string utf16Object(const std::u16string& text) {
    std::string object = counted(0x60, text.size());
    for (const char16_t unit : text)
        object += bigEndian(unit, 2);
    return object;
}

// A UTF-16 text of `length` units, mixing Chinese and ASCII as a usage description does.
std::u16string usage(std::size_t length) {
    std::u16string text;
    for (std::size_t i = 0; i < length; ++i)
        text.push_back(i % 3 == 2 ? u'a' + i % 26 : u'\u6F84' + i % 7);
    return text;
}

std::string utf8(const std::u16string& text) {
    std::string bytes;
    for (const char16_t unit : text) {
        if (unit < 0x80) {
            bytes.push_back(static_cast<char>(unit));
        } else {
            bytes.push_back(static_cast<char>(0xE0 | unit >> 12));
            bytes.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        }
    }
    return bytes;
}

// An ASCII document in little-endian UTF-16 with its byte-order mark.
std::string utf16Document(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (const char c : ascii)
        bytes += c + "\0"s;
    return bytes;
}

TEST(PropertyList, HostileListsAreReadWholeOrRefusedQuickly) {
    std::vector<std::string> deep, shared, claims;
    for (std::uint32_t i = 0; i < 466'000; ++i)
        deep.push_back(std::string("\xA1").append(bigEndian(i + 1, 3)));
    deep.push_back("\x50");
    for (char i = 1; i <= 40; ++i)
        shared.push_back("\xA2"s + i + i); // each array names the next one twice
    shared.push_back("\x51x");
    // Arrays inside arrays, each claiming four million entries it does not have.
    for (char i = 1; i <= 63; ++i)
        claims.push_back("\xAF\x12\x00\x40\x00\x00"s + i);
    claims.push_back("\x50");
    const auto references = [](int count) { // `count` references to one "x"
        return binary({counted(0xA0, count) + repeat("\x00\x01"s, count), "\x51x"}, 2);
    };
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
        {"63 arrays claiming 4 million entries each", binary(claims), "refused"},
        {"array inside itself", binary({"\xA1\x00"s}), "refused"},
        {"60,000 references", references(60'000), "array of 60000"},
        {"70,000 references", references(70'000), "refused"},
        {"reference past the table", binary({"\xA1\x05"s}), "refused"},
        {"count past the data", binary({"\xAF\x13\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s}), "refused"},
        {"empty", "", "refused"},
        {"ends inside a tag name", "<?xml version=\"1.0\"?><plist", "refused"},
        // Integers: a sixteen-byte one carries 64 bits in its lower half and nothing above.
        {"1-byte integer", binary({"\x10\x2A"s}), "integer 42"},
        {"8-byte integer is signed", binary({"\x13"s + bigEndian(~0ull, 8)}), "integer -1"},
        {"16-byte integer", binary({"\x14"s + bigEndian(0, 8) + bigEndian(~0ull, 8)}),
         "integer 18446744073709551615"},
        {"16-byte integer past 64 bits", binary({"\x14"s + bigEndian(1, 8) + bigEndian(7, 8)}),
         "refused"},
        {"XML integer inside white space", xml("<integer>\n 42\t</integer>"), "integer 42"},
        {"XML integer and more", xml("<integer>4 2</integer>"), "refused"},
        {"XML hexadecimal integer", xml("<integer>0x1F</integer>"), "integer 31"},
        {"XML integer below -2^63", xml("<integer>-9223372036854775809</integer>"), "refused"},
        // Texts of 15 units and more carry their length in an integer after the marker.
        {"UTF-16 text of 15", binary({utf16Object(usage(15))}), "string " + utf8(usage(15))},
        {"UTF-16 text of 312", binary({utf16Object(usage(312))}), "string " + utf8(usage(312))},
        {"length in eight bytes", binary({"\x5F\x13"s + bigEndian(3, 8) + "abc"}), "string abc"},
        {"UTF-16 surrogate pair", binary({utf16Object(u"a\U0001F600")}),
         "string a\xF0\x9F\x98\x80"},
        {"data of 20", binary({counted(0x40, 20) + std::string(20, 'd')}), "data of 20"},
        {"binary true", binary({"\x09"s}), "true"},
        {"binary false", binary({"\x08"s}), "false"},
        {"4-byte real", binary({"\x22\x3F\xC0\x00\x00"s}), "real 1.500000"},
        {"date", binary({"\x33"s + bigEndian(0x41CDCD6500000000ull, 8)}), "date 1000000000"},
        // Six keys sharing one long text, as the system's writer stores it: once.
        {"shared text",
         binary({"\xD6\x01\x02\x03\x04\x05\x06\x07\x07\x07\x07\x07\x07"s, "Q1", "Q2", "Q3", "Q4",
                 "Q5", "Q6", utf16Object(usage(600))}),
         [] {
             std::string shown = "{";
             for (char key = '1'; key <= '6'; ++key)
                 shown += key + ": string "s + utf8(usage(600)) + ";";
             return shown + "}";
         }()},
        // A key stored twice means its last value.
        {"repeated key", binary({"\xD2\x01\x01\x02\x03"s, "Qk", "\x10\x01", "\x10\x02"}),
         "{k: integer 2;k: integer 2;}"},
        {"XML repeated key", xml("<dict><key>k</key><true/><key>k</key><false/></dict>"),
         "{k: false;k: false;}"},
        // XML as the system's reader takes it.
        {"empty elements", xml("<array><string/><dict/><array/></array>"), "array of 3"},
        {"empty string", xml("<string/>"), "string "},
        {"attributes", xml("<string a=\"1\" b='>'>x</string>"), "string x"},
        {"malformed attribute", xml("<string =\">apple</string>"), "refused"},
        {"attribute without value", xml("<string a>x</string>"), "refused"},
        {"attribute on a closing tag", xml("<string>x</string a=\"1\">"), "refused"},
        {"UTF-16 little-endian", utf16Document(xml("<string>caf&#xE9;</string>")),
         "string caf\xC3\xA9"},
        {"UTF-16 big-endian",
         "\xFE\xFF"s + "\0<\0p\0l\0i\0s\0t\0>\0<\0s\0t\0r\0i\0n\0g\0>\x6F\x84"
                       "\0<\0/\0s\0t\0r\0i\0n\0g\0>\0<\0/\0p\0l\0i\0s\0t\0>"s,
         "string \xE6\xBE\x84"},
        {"UTF-32 big-endian",
         "\0\0\xFE\xFF"s + "\0\0\0<\0\0\0p\0\0\0l\0\0\0i\0\0\0s\0\0\0t\0\0\0>"
                           "\0\0\0<\0\0\0t\0\0\0r\0\0\0u\0\0\0e\0\0\0/"
                           "\0\0\0>\0\0\0<\0\0\0/\0\0\0p\0\0\0l\0\0\0i"
                           "\0\0\0s\0\0\0t\0\0\0>"s,
         "true"},
        {"ISO-8859-1",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><string>\xE9</string></plist>",
         "string \xC3\xA9"},
        {"invalid UTF-8", xml("<string>\xC3</string>"), "refused"},
        {"overlong UTF-8", xml("<string>\xC0\xAF</string>"), "refused"},
        {"not a declaration", "<?xml-stylesheet encoding=?><plist><true/></plist>", "true"},
        {"other encoding", "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><plist><true/></plist>",
         "refused"},
        {"real", xml("<real> -1.5e2 </real>"), "real -150.000000"},
        {"real overflowing", xml("<real>1e400</real>"), "real inf"},
        {"real of another form", xml("<real>1.5x</real>"), "refused"},
        {"date", xml("<date>2032-09-09T01:46:40Z</date>"), "date 1000000000"},
        {"date before 2001", xml("<date>2000-12-31T23:59:59Z</date>"), "date -1"},
        {"February 30", xml("<date>2024-02-30T00:00:00Z</date>"), "refused"},
        {"date without zone", xml("<date>2024-02-03T00:00:00</date>"), "refused"},
        {"date with a blank for T", xml("<date>2024-02-03 00:00:00Z</date>"), "refused"},
        {"April 31", xml("<date>2024-04-31T00:00:00Z</date>"), "refused"},
        {"data", xml("<data>\n\tAAEC\n\tAw==\n</data>"), "data of 4"},
        {"data unpadded", xml("<data>AAECAw</data>"), "data of 4"},
        {"data past its padding", xml("<data>AA==AA==</data>"), "refused"},
        {"data of another alphabet", xml("<data>AA-_</data>"), "refused"},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(outcome(c.bytes), c.expected) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
    }
}

// The canonical form of a value, as tests/platform/plist_corpus.py writes it from what
// Python's plistlib reads.
std::string canonical(const PlistValue& value) {
    const auto hex = [](std::string_view bytes) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string text;
        for (const char c : bytes) {
            text.push_back(digits[static_cast<unsigned char>(c) >> 4]);
            text.push_back(digits[static_cast<unsigned char>(c) & 0xF]);
        }
        return text;
    };
    const auto bits = [&](double number) {
        return std::isnan(number) ? std::string("nan")
                                  : hex(bigEndian(std::bit_cast<std::uint64_t>(number), 8));
    };
    switch (value.kind) {
    case PlistValue::Kind::string:
        return "s" + hex(value.text);
    case PlistValue::Kind::data:
        return "x" + hex(value.text);
    case PlistValue::Kind::integer:
        return "i" + std::string(value.negative ? "-" : "") + std::to_string(value.integer);
    case PlistValue::Kind::boolean:
        return value.boolean ? "b1" : "b0";
    case PlistValue::Kind::real:
        return "r" + bits(value.real);
    case PlistValue::Kind::date:
        return "d" + bits(value.real);
    case PlistValue::Kind::array: {
        std::string text = "a[";
        for (const auto& item : value.items)
            text += canonical(item) + ",";
        if (!value.items.empty())
            text.pop_back();
        return text + "]";
    }
    case PlistValue::Kind::dictionary: {
        std::set<std::string> keys;
        for (const auto& member : value.members)
            keys.insert(member.key);
        std::string text = "{";
        for (const auto& key : keys)
            text += hex(key) + ":" + canonical(*value.find(key)) + ",";
        if (!keys.empty())
            text.pop_back();
        return text + "}";
    }
    default:
        return "?";
    }
}

// Thousands of lists written by Python's plistlib, binary and XML, in UTF-8, UTF-16 and
// ISO-8859-1: long and shared texts, repeated keys, every integer width, dates, data and
// reals. Each must read as plistlib reads it.
TEST(PropertyList, ReadsWhatPythonsPlistlibWritesAsPlistlibReadsIt) {
    const testing::TempDir dir;
    const auto generated =
        testing::runProcess({"python3", INSTALLER_SOURCE_DIR "/tests/platform/plist_corpus.py",
                             (dir / "corpus").string(), "2000", "20261207"});
    ASSERT_EQ(generated.status, 0) << generated.err;
    std::ifstream in(dir / "corpus", std::ios::binary);
    int documents = 0, wrong = 0;
    for (std::string name, size, expected; std::getline(in, name) && std::getline(in, size);) {
        std::string bytes(std::stoul(size), '\0');
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::getline(in, expected);
        ++documents;
        std::string read;
        try {
            read = canonical(parsePropertyList(bytes));
        } catch (const PropertyListError& error) {
            read = error.what();
        }
        if (read != expected && ++wrong <= 5)
            ADD_FAILURE() << name << " read as\n" << read << "\nplistlib reads\n" << expected;
    }
    EXPECT_GT(documents, 3000);
    EXPECT_EQ(wrong, 0) << "of " << documents;
}

// Information dictionaries shaped as Xcode writes them: binary, with one 312-character
// Chinese usage description stored once and named by six keys, and the same in UTF-16 XML.
TEST(Bundle, ReadsInformationDictionariesAsXcodeWritesThem) {
    for (const char* name : {"Info-xcode.bplist", "Info-utf16.xml"}) {
        const testing::TempDir dir;
        std::filesystem::create_directories(dir / "AI.app/Contents");
        std::filesystem::copy_file(
            std::filesystem::path(INSTALLER_SOURCE_DIR "/tests/platform/data") / name,
            dir / "AI.app/Contents/Info.plist");
        const auto bundle = Bundle::open(dir / "AI.app");
        ASSERT_TRUE(bundle) << name;
        const PlistValue& info = bundle->info();
        EXPECT_EQ(bundle->identifier(), "com.tavelo.desktop") << name;
        EXPECT_EQ(describe(*info.find("CFBundleShortVersionString")), "string 1.4.2") << name;
        EXPECT_EQ(describe(*info.find("CFBundleVersion")), "string 142") << name;
        const std::string usage = info.find("NSDesktopFolderUsageDescription")->text;
        EXPECT_TRUE(usage.starts_with("澄翎网盘需要访问此文件夹")) << name;
        EXPECT_EQ(usage.size(), 924u) << name; // 312 characters, six of them ASCII
        EXPECT_EQ(info.find("NSFileProviderDomainUsageDescription")->text, usage) << name;
        EXPECT_EQ(describe(*info.find("CFBundleDocumentTypes")), "array of 20") << name;
    }
}

// An application of this user counts as running; the same application started by
// another user on the same Mac does not.
TEST(RunningApplications, AreThisUsersOnly) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "starting another user's process takes root";
    const testing::TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_exec);
    const auto start = [&](const std::string& name, uid_t user) {
        const auto app = dir / (name + ".app");
        std::filesystem::create_directories(app / "Contents/MacOS");
        std::filesystem::copy_file("/bin/sleep", app / "Contents/MacOS" / name);
        testing::writeFile(app / "Contents/Info.plist",
                           "<plist><dict><key>CFBundleIdentifier</key><string>com.example." + name +
                               "</string></dict></plist>");
        const std::string executable = (app / "Contents/MacOS" / name).string();
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setuid(user) == 0)
                ::execl(executable.c_str(), executable.c_str(), "30", nullptr);
            ::_exit(127);
        }
        return pid;
    };
    const pid_t mine = start("mine", ::geteuid()), theirs = start("theirs", 65534);
    std::vector<std::string> running;
    for (int i = 0; i < 500; ++i) { // until both have started their executables
        running = RealSystem().runningBundleIdentifiers();
        std::string path(256, '\0');
        const auto linked = ::readlink(("/proc/" + std::to_string(theirs) + "/exe").c_str(),
                                       path.data(), path.size());
        if (std::ranges::count(running, "com.example.mine") > 0 && linked > 0 &&
            path.find("theirs.app") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const pid_t pid : {mine, theirs}) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(std::ranges::count(running, "com.example.mine"), 1);
    EXPECT_EQ(std::ranges::count(running, "com.example.theirs"), 0);
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
    EXPECT_FALSE(Bundle::open(dir / "good.app/Contents/Info.plist")); // a file is no bundle
}

// What a power cut after the swap leaves depends on this order: a name is stored only
// after what it points at, and the one flush through the drive's cache comes last.
struct RecordingSync final : DiskSync {
    mutable std::mutex mutex;
    mutable std::vector<std::pair<std::filesystem::path, SyncDepth>> synced;
    void sync(int, SyncDepth depth, const std::filesystem::path& path) const override {
        const std::lock_guard lock(mutex);
        synced.emplace_back(path, depth);
    }
};

TEST(Durable, ATreeIsStoredEntriesBeforeTheirFolderAndFlushedOnceAtTheEnd) {
    namespace fs = std::filesystem;
    using Recording = RecordingSync;
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
        for (const auto& [path, index] : at) {
            if (path != root) {
                EXPECT_LT(index, at[path.parent_path()]) << path;
            }
        }
        EXPECT_EQ(disk.synced.back(), std::pair(root, SyncDepth::throughDriveCache));
        EXPECT_EQ(
            std::count_if(disk.synced.begin(), disk.synced.end(),
                          [](const auto& s) { return s.second == SyncDepth::throughDriveCache; }),
            1);
    }
}

// A file replaced durably takes one flush, its folder's; its contents must reach the
// medium before the new name does, or a power cut could leave the name on nothing.
TEST(Durable, AReplacedFileIsOrderedBeforeItsNameAndFlushedOnce) {
    const testing::TempDir dir;
    const RecordingSync disk;
    writeFileDurably(dir / "record.json", "{}", disk);
    ASSERT_EQ(disk.synced.size(), 2u);
    EXPECT_EQ(disk.synced[0].first.parent_path(), dir.path());
    EXPECT_EQ(disk.synced[0].second, SyncDepth::beforeLaterWrites);
    EXPECT_EQ(disk.synced[1], std::pair(dir.path(), SyncDepth::throughDriveCache));
    EXPECT_EQ(readFile(dir / "record.json", 10), "{}");
}

} // namespace
} // namespace installer::platform
