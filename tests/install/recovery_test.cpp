// What dead transactions, other installers and older installers leave beside a target,
// and what the next run makes of it: the user's newest application and data survive,
// and no image a live installer uses is detached.

#include "install/disk_image_output.h"
#include "install/transaction_id.h"
#include "install/transaction_record.h"
#include "install_fixture.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace installer::testing {
namespace {

namespace fs = std::filesystem;
using install::TransactionRecord;
using install::TransactionState;

constexpr auto toolFailed = "安装操作失败，请检查权限后重试";
const ReleaseRecipe v100{.version = "1.0.0", .build = "100"};
const ReleaseRecipe v110{};
const ReleaseRecipe v120{.version = "1.2.0", .build = "120"};

class Recovery : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(userData.parent_path());
        writeFile(userData, R"({"migrated":"1.1.0"})");
        fs::create_directories(userFolder / "locked");
        writeFile(userFolder / "locked" / "notes.txt", "mine");
        fs::permissions(userFolder / "locked", fs::perms(0500));
        fs::copy(box.release(v100).bundle, elsewhere,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    void TearDown() override { fs::permissions(userFolder / "locked", fs::perms(0700)); }

    // Mounts a release's image as a transaction would; its mount point.
    std::string attach(const ReleaseRecipe& recipe) {
        const auto result = runProcess({(box.tools / "hdiutil").string(), "attach", "-readonly",
                                        "-nobrowse", "-plist", box.release(recipe).image.string()});
        return install::mountPointOf(result.out);
    }
    TransactionRecord record(const ReleaseRecipe& recipe, TransactionState state,
                             std::uint64_t started, std::string mountPoint = "",
                             const fs::path& target = {}) {
        TransactionRecord made;
        made.id = install::newTransactionID();
        made.target = target.empty() ? box.target : target;
        made.package = box.release(recipe).image;
        made.mountPoint = std::move(mountPoint);
        made.environment = "sit";
        made.appVersion = recipe.version;
        made.buildNumber = std::stoull(recipe.build);
        made.started = started;
        made.state = state;
        install::TransactionJournal(made.target, box.files).save(made);
        return made;
    }
    void copyOf(const ReleaseRecipe& recipe, const fs::path& to) {
        fs::copy(box.release(recipe).bundle, to,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    fs::path staging(const std::string& id) { return install::stagingCopy(box.target, id); }
    fs::path previous(const std::string& id) { return install::previousCopy(box.target, id); }
    std::string checkThenLeft() {
        const std::string outcome = box.check(box.release());
        return outcome + " / " + box.leftBehind();
    }

    // Every image still attached goes, then everything beside the target.
    void reset() {
        live.reset();
        liveImage.reset();
        std::error_code error;
        for (const auto& parent : fs::directory_iterator(box.root / "tmp", error))
            for (const auto& mount : fs::directory_iterator(parent.path(), error))
                emulatedTool("hdiutil", {"detach", mount.path().string()});
        for (const auto& entry : fs::directory_iterator(box.apps))
            platform::FileManager().remove(entry.path());
        box.files = {};
    }

    InstallSandbox box;
    fs::path userData = box.home / "Library/Application Support/AI澄翎网盘测试版/settings.json";
    fs::path userFolder = box.home / "Documents";
    fs::path elsewhere = box.home / "Elsewhere.app";   // a 1.0.0 bundle outside the folder
    std::optional<platform::FileLock> live, liveImage; // another installer at work
};

TEST_F(Recovery, EachRecordIsFinishedOrUndoneAndNothingElseIsTouched) {
    std::string liveMount;
    fs::path liveStaging;
    const struct {
        const char* situation;
        std::function<void()> arrange;
        std::function<std::string()> run;
        std::string outcome;
        std::string left;
    } rows[] = {
        // 1.0.0 -> 1.1.0 was never confirmed; 1.2.0 then died between its renames.
        {"two records, newest listed last",
         [&] {
             box.files.listingOrder = 1;
             const auto unconfirmed = record(v110, TransactionState::launched, 100);
             copyOf(v100, previous(unconfirmed.id));
             const auto dead = record(v120, TransactionState::swapping, 200, attach(v120));
             copyOf(v110, previous(dead.id));
             copyOf(v120, staging(dead.id));
         },
         [&] { return checkThenLeft(); }, "ok / 1.1.0, previous 1.0.0, record",
         // installing 1.1.0 again repairs its start, and nothing older stays
         "1.1.0"},
        {"two records, newest listed first",
         [&] {
             box.files.listingOrder = -1;
             const auto unconfirmed = record(v110, TransactionState::launched, 100);
             copyOf(v100, previous(unconfirmed.id));
             const auto dead = record(v120, TransactionState::swapping, 200, attach(v120));
             copyOf(v110, previous(dead.id));
             copyOf(v120, staging(dead.id));
         },
         [&] { return checkThenLeft(); }, "ok / 1.1.0, previous 1.0.0, record", "1.1.0"},
        // The user removed the confirmed 1.1.0; its leftover 1.0.0 is no copy to go back.
        {"a confirmed record with its leftover copy",
         [&] {
             const auto confirmed = record(v110, TransactionState::confirmed, 100, attach(v110));
             copyOf(v100, previous(confirmed.id));
         },
         [&] { return checkThenLeft(); }, "ok / nothing", "1.1.0"},
        // A later attempt at the installed release died before its swap: no repair.
        {"a dead record of the installed release",
         [&] {
             box.installAtTarget(v110);
             record(v110, TransactionState::attached, 100, attach(v110));
         },
         [&] { return checkThenLeft(); }, "已安装相同或更新版本 / 1.1.0", "1.1.0"},
        {"the image listing fails once",
         [&] {
             box.installAtTarget(v100);
             record(v110, TransactionState::attached, 100, attach(v110));
             writeFile(box.control / "fail-hdiutil-info", "");
         },
         [&] { return checkThenLeft(); }, "ok / 1.0.0, record, image attached", "1.1.0"},
        {"the detach fails once",
         [&] {
             box.installAtTarget(v100);
             record(v110, TransactionState::attached, 100, attach(v110));
             writeFile(box.control / "fail-hdiutil-detach", "");
         },
         [&] { return checkThenLeft(); }, "ok / 1.0.0, record, image attached", "1.1.0"},
        // A dead one that never learned its mount point, beside a live one for another
        // target from the same package, which is copying its bundle.
        {"two targets from one package, one live",
         [&] {
             box.installAtTarget(v100);
             record(v110, TransactionState::attaching, 100);
             const fs::path other = box.apps / "Other.app";
             live = install::TransactionJournal(other, box.files).lockTarget();
             liveImage = platform::FileLock::shared(box.release().image);
             liveMount = attach(v110);
             const auto alive = record(v110, TransactionState::attached, 200, liveMount, other);
             liveStaging = install::stagingCopy(other, alive.id);
             copyOf(v110, liveStaging);
         },
         [&] {
             std::string seen = checkThenLeft();
             seen += " / " + std::to_string(fs::exists(liveMount));
             return seen + std::to_string(box.sealed(liveStaging));
         },
         "ok / 1.0.0, staging 1.1.0, record, record, image attached / 11",
         "1.1.0, staging 1.1.0, record, record, image attached"},
        {"a link at each hidden name of a record",
         [&] {
             const auto dead = record(v110, TransactionState::swapping, 100);
             fs::create_directory_symlink(userFolder, staging(dead.id));
             fs::create_directory_symlink(elsewhere, previous(dead.id));
         },
         [&] { return checkThenLeft(); }, "ok / nothing", "1.1.0"},
        // Copies that no record explains: an installer that kept none, or another user's.
        {"orphans beside a healthy target",
         [&] {
             box.installAtTarget(v100);
             copyOf(v110, staging(install::newTransactionID()));
             copyOf(v100, previous(install::newTransactionID()));
             fs::create_directory_symlink(userFolder, staging(install::newTransactionID()));
             fs::create_directory_symlink(elsewhere, previous(install::newTransactionID()));
         },
         [&] { return box.install(box.release()); }, "ok", "1.1.0"},
        // The run fails; the newest whole bundle of the application goes back, not a
        // link, not a bundle of something else and not a half copy.
        {"orphans beside an empty target, the run failing",
         [&] {
             copyOf(v100, previous(install::newTransactionID()));
             copyOf(v120, previous(install::newTransactionID()));
             copyOf({.version = "9.0.0", .identifier = "com.other"},
                    previous(install::newTransactionID()));
             fs::create_directories(previous(install::newTransactionID()) / "Contents");
             fs::create_directory_symlink(elsewhere, previous(install::newTransactionID()));
             writeFile(box.control / "fail-hdiutil-attach", "");
         },
         [&] { return box.install(box.release()); }, toolFailed, "1.2.0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.situation);
        reset();
        row.arrange();
        EXPECT_EQ(row.run(), row.outcome);
        // Recovery's repairs end where a plain install takes over.
        if (row.outcome.starts_with("ok /")) {
            EXPECT_EQ(box.install(box.release()), "ok");
        }
        EXPECT_EQ(box.leftBehind(), row.left);
        EXPECT_TRUE(fs::exists(box.target) ? box.sealed(box.target) : true);
        EXPECT_EQ(readText(userData), R"({"migrated":"1.1.0"})");
        EXPECT_EQ(readText(userFolder / "locked" / "notes.txt"), "mine");
        EXPECT_EQ(fs::status(userFolder / "locked").permissions(), fs::perms(0500));
        EXPECT_TRUE(box.sealed(elsewhere));
    }
    reset();
}

// Every spelling of one target, and every user, meets the same lock and records.
TEST_F(Recovery, AnySpellingOfTheTargetFindsWhatAnotherLeft) {
    box.installAtTarget(v100);
    const fs::path name = box.target.filename();
    const std::string upper = "Ai澄翎网盘测试版.app";
    // Killed between its renames, an install of the target spelled otherwise.
    auto dead = record(v110, TransactionState::swapping, 100, attach(v110));
    dead.target = box.apps / "." / name;
    install::TransactionJournal(box.target, box.files).save(dead);
    fs::rename(box.target, previous(dead.id));
    copyOf(v110, staging(dead.id));
    box.target = box.root / "tmp" / ".." / "Applications" / "." / name;
    EXPECT_EQ(box.check(box.release()), "ok");
    EXPECT_EQ(box.leftBehind(), "1.0.0");
    const auto held = install::TransactionJournal(box.apps / upper, box.files).lockTarget();
    box.system.home = box.root / "another-user";
    for (const fs::path& spelling :
         {box.apps / name, box.apps / "." / name, fs::path(box.apps.string() + "//") / name}) {
        box.target = spelling;
        EXPECT_EQ(box.install(box.release()), "另一个安装正在进行，请稍后重试") << spelling;
    }
    EXPECT_EQ(box.count("hdiutil attach"), 1); // only the test's own
}

// Another user's installer must be able to open what this one made, whatever its umask.
TEST_F(Recovery, TheLockAndTheRecordsAreReadableByEveryUser) {
    const mode_t previousMask = ::umask(077);
    const install::TransactionJournal journal(box.target, box.files);
    const auto lock = journal.lockTarget();
    const auto made = record(v110, TransactionState::attaching, 100);
    ::umask(previousMask);
    int files = 0;
    for (const auto& entry : fs::directory_iterator(box.apps)) {
        ++files;
        EXPECT_EQ(fs::status(entry).permissions() & fs::perms(0044), fs::perms(0044))
            << entry.path();
    }
    EXPECT_EQ(files, 2);
    // A link goes by itself, and quietly.
    fs::create_directory_symlink(userFolder, staging(made.id));
    EXPECT_NO_THROW(platform::FileManager().remove(staging(made.id)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(staging(made.id))));
    EXPECT_EQ(readText(userFolder / "locked" / "notes.txt"), "mine");
}

} // namespace
} // namespace installer::testing
