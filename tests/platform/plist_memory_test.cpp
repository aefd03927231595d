// How much memory reading an Info.plist at the size cap takes, counted by this program's
// own allocation functions: the peak of live heap bytes while a bundle is opened.

#include "platform/bundle.h"
#include "plist_bytes.h"
#include "support/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>

namespace {

std::atomic<std::size_t> live{0}, peak{0};

// Each block carries its size in front, so that freeing it can be counted.
constexpr std::size_t header = alignof(std::max_align_t);

void* allocate(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + header));
    if (!block)
        throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::size_t now = live += size;
    for (std::size_t seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    return block + header;
}

void release(void* pointer) {
    if (!pointer)
        return;
    auto* block = static_cast<unsigned char*>(pointer) - header;
    live -= *reinterpret_cast<std::size_t*>(block);
    std::free(block);
}

} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* pointer) noexcept {
    release(pointer);
}
void operator delete[](void* pointer) noexcept {
    release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    release(pointer);
}

namespace installer::platform {
namespace {

using namespace std::string_literals;

constexpr std::size_t sizeCap = 4 * 1024 * 1024;
constexpr std::size_t memoryLimit = 64'000'000;

using testing::bigEndian;
using testing::binary;
using testing::repeat;

// A binary list of `objects`, the first on top, padded with an unused object up to `size`.
std::string binaryOfSize(std::vector<std::string> objects, std::size_t size, int refSize = 4) {
    const std::size_t overhead = 8 + 32 + 4 * (objects.size() + 1) + 6;
    std::size_t used = overhead;
    for (const auto& object : objects)
        used += object.size();
    if (used < size) {
        const std::size_t pad = size - used;
        objects.push_back("\x4F\x12"s + bigEndian(pad, 4) + std::string(pad, 'p'));
    }
    return binary(objects, refSize);
}

TEST(PropertyListMemory, AnInfoPlistAtTheSizeCapStaysUnderItsLimit) {
    const installer::testing::TempDir dir;
    // One text of 255 units named from every place the node cap allows.
    const std::string text = "\x6F\x10\xFF"s + repeat("\x6F\x84", 255);
    const std::string sharedText = binaryOfSize(
        {"\xAF\x12"s + bigEndian(65'535, 4) + repeat(bigEndian(1, 4), 65'535), text}, sizeCap);
    // Arrays in arrays, each claiming about four million entries.
    std::vector<std::string> claims;
    for (std::uint32_t i = 1; i <= 63; ++i)
        claims.push_back("\xAF\x12\x00\x3F\xFF\xF0"s + bigEndian(i, 4));
    claims.push_back("\x50");
    constexpr std::size_t references = sizeCap - 200;
    const std::string oneByteReferences = binaryOfSize(
        {"\xAF\x12"s + bigEndian(references, 4) + std::string(references, '\1'), "\x50"}, sizeCap,
        1);
    const std::string xmlStrings = "<plist><array>" +
                                   repeat("<string>" + std::string(48, 'x') + "</string>", 64'000) +
                                   "</array></plist>";
    const std::string xmlEmpty =
        "<plist><array>" + repeat("<true/>", (sizeCap - 30) / 7) + "</array></plist>";

    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"one text named 65,535 times", sharedText},
        {"63 arrays claiming 4 million entries each", binaryOfSize(claims, sizeCap)},
        {"a claim of 4 million one-byte references", oneByteReferences},
        {"XML of 64,000 texts", xmlStrings},
        {"XML of 600,000 elements", xmlEmpty},
    };
    for (const auto& c : cases) {
        ASSERT_LE(c.bytes.size(), sizeCap) << c.what;
        std::filesystem::create_directories(dir / c.what / "Contents");
        installer::testing::writeFile(dir / c.what / "Contents/Info.plist", c.bytes);
        const std::size_t before = live;
        peak = before;
        const auto bundle = Bundle::open(dir / c.what);
        ASSERT_TRUE(bundle) << c.what;
        const std::size_t used = peak - before;
        EXPECT_LT(used, memoryLimit) << c.what;
        RecordProperty(c.what, std::to_string(used));
        std::printf("%s: %zu bytes at the peak\n", c.what, used);
    }
}

} // namespace
} // namespace installer::platform
