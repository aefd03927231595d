// hdiutil's property lists in the shapes macOS prints them: several entities of which
// one is mounted, several images of which some are not ours or not mounted.

#include "install/disk_image_output.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace installer::install {
namespace {

std::string fixture(const char* name) {
    return testing::readText(std::string(INSTALLER_SOURCE_DIR "/tests/platform/data/") + name);
}

TEST(DiskImageOutput, ReadsHdiutilsListsAsMacOSPrintsThem) {
    EXPECT_EQ(mountPointOf(fixture("hdiutil-attach.xml")), "/Volumes/AI澄翎网盘 1.4.2");
    const auto images = attachedImages(fixture("hdiutil-info.xml"));
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].imagePath,
              "/Users/lin/Library/Caches/com.tavelo.installer/prod/ab12/package.dmg");
    EXPECT_EQ(images[0].mountPoints, std::vector<std::string>{"/Volumes/AI澄翎网盘 1.4.2"});
    EXPECT_EQ(images[1].mountPoints, std::vector<std::string>{"/Volumes/Other Tool"});
    EXPECT_TRUE(images[2].mountPoints.empty());
}

} // namespace
} // namespace installer::install
