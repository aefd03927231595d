#include "platform/installer_error.h"
#include "support/temp_dir.h"
#include "trust/crypto.h"
#include "trust/verify_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace installer::trust {
namespace {

using testing::TempDir;
using testing::writeFile;

std::string sha256Hex(std::string_view bytes) {
    Sha256 hasher;
    hasher.update(bytes.data(), bytes.size());
    const auto digest = hasher.finish();
    return hex(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

release::Package packageFor(std::string_view content) {
    release::Package package;
    package.sizeBytes = static_cast<std::int64_t>(content.size());
    package.sha256 = sha256Hex(content);
    return package;
}

std::string outcome(const std::filesystem::path& file, const release::Package& package) {
    try {
        verifyFile(file, package);
        return "ok";
    } catch (const std::exception& error) {
        return error.what();
    }
}

TEST(VerifyFile, AcceptsTheExactPackageAcrossBufferBoundaries) {
    TempDir dir;
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{1} << 20, (std::size_t{1} << 21) + 7}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 31 + i / 4093);
        writeFile(dir / "package.dmg", content);
        EXPECT_EQ(outcome(dir / "package.dmg", packageFor(content)), "ok") << size;
    }
}

TEST(VerifyFile, ShapeAndSizeAreJudgedBeforeTheContent) {
    TempDir dir;
    const std::string content = "disk image bytes";
    const auto package = packageFor(content);
    std::string changed = content;
    changed[3] ^= 1;
    writeFile(dir / "good.dmg", content);
    writeFile(dir / "changed.dmg", changed);
    writeFile(dir / "empty.dmg", "");
    writeFile(dir / "longer.dmg", content + "!");
    std::filesystem::create_directory(dir / "folder.dmg");
    std::filesystem::create_symlink(dir / "good.dmg", dir / "link.dmg");
    ::mkfifo((dir / "fifo.dmg").c_str(), 0600);
    writeFile(dir / "sealed.dmg", "x"); // unreadable, but refused before it is opened
    ::chmod((dir / "sealed.dmg").c_str(), 0);
    release::Package upper = package;
    std::transform(upper.sha256.begin(), upper.sha256.end(), upper.sha256.begin(), ::toupper);
    const struct {
        const char* name;
        const release::Package& package;
        std::string expected;
    } cases[] = {
        {"good.dmg", package, "ok"},
        {"changed.dmg", package, "安装包校验失败"},
        {"good.dmg", upper, "安装包校验失败"},
        {"empty.dmg", package, "安装包大小无效"},
        {"longer.dmg", package, "安装包大小无效"},
        {"folder.dmg", package, "安装包大小无效"},
        {"link.dmg", package, "安装包大小无效"},
        {"fifo.dmg", package, "安装包大小无效"},
        {"sealed.dmg", package, "安装包大小无效"},
        {"missing.dmg", package,
         "无法读取安装包信息：文件或文件夹不存在（" + (dir / "missing.dmg").string() + "）"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome(dir / c.name, c.package), c.expected) << c.name;
}

TEST(Hex, KeepsLeadingZeros) {
    EXPECT_EQ(hex(std::string_view("\x0f\x00\xff", 3)), "0f00ff");
    EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

} // namespace
} // namespace installer::trust
