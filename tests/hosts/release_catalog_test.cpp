// Which release the service offers a machine, and why it offers none.

#include "release_catalog.h"

#include <gtest/gtest.h>

namespace installer::service {
namespace {

Release release(std::string id, std::string version, std::string arch, std::string minOS,
                std::string minInstaller, int protocol = 1, std::string channel = "stable") {
    return {{"channel", channel},
            {"releaseId", id},
            {"appVersion", version},
            {"buildNumber", 1},
            {"platform", "macos"},
            {"arch", arch},
            {"minOS", minOS},
            {"minInstallerVersion", minInstaller},
            {"minUpdaterProtocol", protocol}};
}

std::string offered(const std::vector<Release>& releases, Query query) {
    const Offer offer = chooseRelease(releases, query);
    return offer.release ? offer.release->at("releaseId").get<std::string>() : offer.reason;
}

TEST(ChooseRelease, OffersTheNewestReleaseTheMachineAndInstallerCanTake) {
    const std::vector<Release> all = {
        release("old", "1.4.2", "arm64", "12.0", "1.0.0"),
        release("needs-os", "1.5.0", "arm64", "14.0", "1.0.0"),
        release("needs-installer", "1.6.0", "arm64", "12", "2.0.0"),
        release("needs-protocol", "1.7.0", "arm64", "12", "1.0.0", 2),
        release("beta", "2.0.0", "arm64", "12.0", "1.0.0", 1, "beta"),
        release("intel", "1.9.0", "x64", "12.0", "1.0.0"),
    };
    const Query mac{"macos", "arm64", "13.4.0", "1", "1.0.5"};
    EXPECT_EQ(offered(all, mac), "old");
    EXPECT_EQ(offered(all, {"macos", "arm64", "14.0.0", "1", "1.0.5"}), "needs-os");
    EXPECT_EQ(offered(all, {"macos", "arm64", "14.5.0", "1", "2.0.0"}), "needs-installer");
    EXPECT_EQ(offered(all, {"macos", "arm64", "14.5.0", "2", "2.0.0"}), "needs-protocol");
    EXPECT_EQ(offered(all, {"macos", "x64", "13.4.0", "1", "1.0.5"}), "intel");
    EXPECT_EQ(offered(all, {"windows", "x64", "13.4.0", "1", "1.0.5"}), "NO_STABLE_RELEASE");

    // With nothing that fits, the newest candidate names what stands in the way.
    EXPECT_EQ(offered({all[1]}, mac), "OS_UNSUPPORTED");
    EXPECT_EQ(offered({all[1], all[2]}, mac), "INSTALLER_UPGRADE_REQUIRED");
    EXPECT_EQ(offered({all[3]}, mac), "INSTALLER_UPGRADE_REQUIRED");
    EXPECT_EQ(offered({all[4]}, mac), "NO_STABLE_RELEASE");
}

TEST(ChooseRelease, ComparesVersionsByNumberAndFillsMissingParts) {
    const struct {
        const char* a;
        const char* b;
        std::optional<int> order;
    } cases[] = {
        {"1.10.0", "1.9.0", 1},           {"14.5", "14.5.0", 0},
        {"13.4.1", "13.4.1.1", -1},       {"12", "12.0.0", 0},
        {"1.0.x", "1.0.0", std::nullopt}, {"", "1", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(compareDotted(c.a, c.b), c.order) << c.a << " vs " << c.b;
}

} // namespace
} // namespace installer::service
