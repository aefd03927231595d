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

TEST(VerifyFile, ShapeAndSizeAreJudgedBeforeTheContent) {
    TempDir dir;
    const std::string content = "disk image bytes";
    const auto package = packageFor(content);
    // Across read buffers: past one, exactly one, and a single byte.
    std::string big((std::size_t{1} << 21) + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + i / 4093);
    writeFile(dir / "big.dmg", big);
    writeFile(dir / "exact.dmg", big.substr(0, std::size_t{1} << 20));
    writeFile(dir / "one.dmg", "1");
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
        release::Package package;
        std::string expected;
    } cases[] = {
        {"good.dmg", package, "ok"},
        {"big.dmg", packageFor(big), "ok"},
        {"exact.dmg", packageFor(big.substr(0, std::size_t{1} << 20)), "ok"},
        {"one.dmg", packageFor("1"), "ok"},
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
