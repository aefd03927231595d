#include "install/install.h"

#include "install/disk_image_output.h"
#include "install/health_file.h"
#include "install/recovery.h"
#include "install/system_tools.h"
#include "install/transaction_id.h"
#include "install/transaction_record.h"
#include "platform/bundle.h"
#include "platform/installer_error.h"
#include "platform/scope_exit.h"
#include "trust/bundle_version.h"
#include "trust/verify_file.h"
#include "trust/version.h"

#include <algorithm>
#include <exception>
#include <thread>

namespace installer::install {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto exitLimit = 45s;
constexpr auto exitProbeInterval = 100ms;
constexpr auto confirmLimit = 60s;
constexpr auto confirmPollInterval = 200ms;

// The target as every installer of it names it: "." and "//" gone, and ".." only where
// it steps back over no link (else the target is refused).
fs::path checkTarget(const fs::path& target) {
    const auto refuse = [] { return InstallerError("安装目录无效"); };
    if (target.extension() != ".app")
        throw refuse();
    // Through a link (also one that ".." steps back out of) the bundle we replace
    // would not be the one the path names.
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(target, error);
    if (error || target.lexically_normal() != resolved)
        throw refuse();
    if (std::distance(target.begin(), target.end()) < 3)
        throw refuse();
    return resolved;
}

// The same or a newer release is refused, except the release of a start no one
// confirmed: installing it again is how the user repairs it.
void checkInstalledVersion(const fs::path& target, const release::Manifest& manifest,
                           const platform::FileManager& files,
                           const std::optional<UnconfirmedRelease>& unconfirmed) {
    if (!files.exists(target))
        return; // a first installation
    const auto installed = trust::bundleVersion(target, manifest.package.appId);
    const int order = trust::compare(manifest.appVersion, installed.version);
    if (order > 0 || (order == 0 && installed.build < manifest.buildNumber))
        return;
    const bool repair = unconfirmed && order == 0 && installed.build == manifest.buildNumber &&
                        unconfirmed->appVersion == manifest.appVersion &&
                        unconfirmed->buildNumber == manifest.buildNumber;
    if (!repair)
        throw InstallerError("已安装相同或更新版本");
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80           ? 1
                             : (c >> 5) == 0x6  ? 2
                             : (c >> 4) == 0xE  ? 3
                             : (c >> 3) == 0x1E ? 4
                                                : 0;
        if (length == 0 || i + length > text.size() || (length == 2 && c < 0xC2))
            return false;
        std::uint32_t point = c & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3F);
        }
        if ((length == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
            (length == 4 && (point < 0x10000 || point > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

bool listsArchitecture(const std::string& lipoOutput, std::string_view required) {
    const std::string_view text = isValidUtf8(lipoOutput) ? lipoOutput : std::string_view();
    constexpr std::string_view space = " \t\n\r\v\f";
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        std::string_view piece = text.substr(start, end - start);
        const std::size_t first = piece.find_first_not_of(space);
        piece = first == std::string_view::npos
                    ? std::string_view()
                    : piece.substr(first, piece.find_last_not_of(space) - first + 1);
        if (!piece.empty() && piece == required)
            return true;
        start = end + 1;
    }
    return false;
}

struct ImageApplication {
    fs::path bundle;
    std::uint64_t build = 0;
};

ImageApplication validateImage(const std::string& mountPoint, const release::Manifest& manifest,
                               const SystemTools& tools, const platform::FileManager& files) {
    std::vector<fs::path> apps;
    for (auto& entry : files.list(mountPoint))
        if (entry.extension() == ".app")
            apps.push_back(std::move(entry));
    if (apps.size() != 1)
        throw InstallerError("安装包内容无效");
    const fs::path app = apps.front();

    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(app, error);
    if (error || resolved.parent_path().string() != mountPoint)
        throw InstallerError("应用路径无效");

    const auto image = trust::bundleVersion(app, manifest.package.appId);
    const auto bundle = platform::Bundle::open(app);
    const auto executable = bundle ? bundle->executable() : std::nullopt;
    if (!executable)
        throw InstallerError("应用入口无效");

    const std::string archs = tools("lipo", {"-archs", executable->string()});
    if (!listsArchitecture(archs, manifest.arch == "x64" ? "x86_64" : "arm64"))
        throw InstallerError("应用架构不匹配");
    if (image.version != manifest.appVersion || image.build != manifest.buildNumber)
        throw InstallerError("应用版本与发布清单不符");
    tools("codesign", {"--verify", "--deep", "--strict", app.string()});
    return {app, image.build};
}

void refuseWhileRunning(const release::Manifest& manifest, const platform::System& system) {
    const auto running = system.runningBundleIdentifiers();
    if (std::find(running.begin(), running.end(), manifest.package.appId) != running.end())
        throw InstallerError("请先退出网盘，避免中断传输任务");
}

std::int64_t millisecondsSince(const platform::System& system, platform::Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(system.now() - start).count();
}

void handOver(std::optional<int> waitPID, const release::Manifest& manifest,
              const InstallEnvironment& environment) {
    const platform::System& system = environment.system;
    if (!waitPID) {
        refuseWhileRunning(manifest, system);
        return;
    }
    std::fputs("READY\n", environment.readyOutput);
    std::fflush(environment.readyOutput);
    const auto start = system.now();
    const auto deadline = start + exitLimit;
    const auto exited = [&](const char* result) {
        platform::Event(environment.log, "exit wait")
            .with("pid", *waitPID)
            .with("ms", millisecondsSince(system, start))
            .with("result", result);
    };
    if (!system.processExists(*waitPID))
        return exited("already gone");
    for (;;) {
        if (system.now() > deadline) {
            exited("still running at the limit");
            throw InstallerError("原应用未退出，取消更新");
        }
        system.sleep(exitProbeInterval);
        if (!system.processExists(*waitPID))
            return exited("exited");
    }
}

// Something, even a dangling link, is at the path.
bool occupied(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

// This transaction's record in the journal, kept current. When the transaction ends
// the record goes, unless something is left that a later run has to finish: an image
// whose detach failed, a staging copy that could not be removed, a previous copy beside
// the target, or a new bundle whose start no one confirmed.
class RecordKeeper {
public:
    RecordKeeper(const TransactionJournal& journal, TransactionRecord record,
                 const fs::path& target, const platform::EventLog& log)
        : journal_(journal), record_(std::move(record)), staging_(stagingCopy(target, record_.id)),
          previous_(previousCopy(target, record_.id)), log_(log) {
        journal_.save(record_);
    }
    RecordKeeper(const RecordKeeper&) = delete;
    RecordKeeper& operator=(const RecordKeeper&) = delete;
    ~RecordKeeper() {
        platform::quietly(log_, "keep the transaction record", [&] {
            // An attach that returned without a mount point left nothing to detach.
            const bool imageLeft = record_.state != TransactionState::attaching && !detached_;
            const bool stagingLeft = occupied(staging_);
            if (imageLeft || stagingLeft || occupied(previous_) ||
                (newBundleAtTarget_ && record_.state != TransactionState::confirmed)) {
                record_.finished = !imageLeft && !stagingLeft;
                journal_.save(record_);
            } else {
                journal_.remove(record_.id);
            }
        });
    }

    // Until the swap begins, nothing may happen that the record does not know of.
    void advance(TransactionState state) {
        record_.state = state;
        journal_.save(record_);
    }
    // Later a lost update only costs the next run some work.
    void advanceQuietly(TransactionState state) {
        platform::quietly(log_, "record the state " + std::string(stateName(state)),
                          [&] { advance(state); });
    }
    void mounted(const std::string& mountPoint) {
        record_.mountPoint = mountPoint;
        advance(TransactionState::attached);
    }
    void newBundleAtTarget(bool there) { newBundleAtTarget_ = there; }
    void detached() { detached_ = true; }

private:
    const TransactionJournal& journal_;
    TransactionRecord record_;
    fs::path staging_, previous_;
    const platform::EventLog& log_;
    bool newBundleAtTarget_ = false;
    bool detached_ = false;
};

// The lock of the target, and what earlier transactions left of it finished or undone.
// Without a lock (a folder this process may not write) nothing is repaired.
struct Prepared {
    std::optional<platform::FileLock> lock;
    std::optional<UnconfirmedRelease> unconfirmed;
};

Prepared lockAndRecover(const fs::path& target, const RecoveryContext& recovery) {
    Prepared prepared{recovery.journal.lockTarget(), std::nullopt};
    if (prepared.lock)
        prepared.unconfirmed = recover(target, recovery);
    return prepared;
}

} // namespace

void checkInstalledRelease(const release::Manifest& manifest, const fs::path& requestedTarget,
                           const InstallEnvironment& environment) {
    const SystemTools tools(environment.toolDir, environment.log);
    const fs::path target = checkTarget(requestedTarget);
    const TransactionJournal journal(target, environment.files, environment.log);
    const RecoveryContext recovery{journal, environment.files, tools,
                                   environment.system.homeFolder(), manifest.package.appId};
    const Prepared prepared = lockAndRecover(target, recovery);
    checkInstalledVersion(target, manifest, environment.files, prepared.unconfirmed);
    // Checked again by the install itself, as the user may start the application meanwhile.
    refuseWhileRunning(manifest, environment.system);
}

void install(const fs::path& package, const release::Manifest& manifest,
             const fs::path& requestedTarget, std::optional<int> waitPID,
             const StatusCallback& status, const InstallEnvironment& environment) {
    const platform::EventLog& log = environment.log;
    const SystemTools tools(environment.toolDir, log);
    const platform::FileManager& files = environment.files;
    const platform::System& system = environment.system;
    const fs::path home = system.homeFolder();
    platform::LoggedSteps step(log);

    // Staging and validation: nothing at the target changes here.
    step.begin("check target");
    const fs::path target = checkTarget(requestedTarget);
    const TransactionJournal journal(target, files, log);
    const RecoveryContext recovery{journal, files, tools, home, manifest.package.appId};
    step.begin("recover");
    const Prepared prepared = lockAndRecover(target, recovery);
    const std::string id = newTransactionID();
    // Once this run's outcome is known, whatever no record explains goes too, while the
    // lock still keeps every other installer of the target away.
    const platform::ScopeExit sweep([&] {
        if (prepared.lock)
            sweepOrphans(target, id, recovery);
    });
    platform::Event(log, "transaction")
        .with("id", id)
        .with("target", target.string())
        .with("locked", prepared.lock.has_value())
        .with("repair", prepared.unconfirmed.has_value());
    step.begin("check installed version");
    checkInstalledVersion(target, manifest, files, prepared.unconfirmed);
    step.begin("verify package");
    trust::verifyFile(package, manifest.package);
    platform::Event(log, "package")
        .with("path", package.string())
        .with("bytes", manifest.package.sizeBytes)
        .with("sha256", manifest.package.sha256);
    const fs::path parent = target.parent_path();
    const fs::path staging = stagingCopy(target, id);
    const fs::path previous = previousCopy(target, id);
    // Held until after the detach: recovery of a dead transaction for another target
    // detaches no image of this package while it is held. A volume without locks fails
    // recovery's attempt alike, which then detaches nothing of this package either.
    std::optional<platform::FileLock> packageInUse;
    platform::quietly(log, "lock the package",
                      [&] { packageInUse = platform::FileLock::shared(package); });
    const auto started =
        std::chrono::duration_cast<std::chrono::microseconds>(system.now().time_since_epoch());
    RecordKeeper record(journal,
                        {id, target, package, "", manifest.environment, manifest.appVersion,
                         manifest.buildNumber, static_cast<std::uint64_t>(started.count()),
                         TransactionState::attaching, false},
                        target, log);
    step.begin("attach image");
    const std::string mountPoint = mountPointOf(
        tools("hdiutil", {"attach", "-readonly", "-nobrowse", "-plist", package.string()}));
    // From here every exit detaches the image, last of all; a failed detach changes
    // nothing about the outcome.
    const platform::ScopeExit detach([&] {
        platform::quietly(log, "detach " + mountPoint, [&] {
            tools("hdiutil", {"detach", mountPoint});
            record.detached();
        });
    });
    record.mounted(mountPoint);
    step.begin("validate bundle");
    const ImageApplication image = validateImage(mountPoint, manifest, tools, files);
    step.begin(waitPID ? "wait for the application to exit"
                       : "check the application is not running");
    handOver(waitPID, manifest, environment);
    step.begin("copy");

    // Swap and backup.
    if (!files.isWritable(parent))
        throw InstallerError("没有安装目录写权限，请授权或选择用户 Applications 目录");
    status("正在安装…");
    // Armed before the copy, so a copy that fails half-way is removed as well: the name
    // is this transaction's own, nothing else can be there.
    const platform::ScopeExit removeStaging([&] {
        if (occupied(staging))
            platform::quietly(log, "remove the staging copy", [&] { files.remove(staging); });
    });
    tools("ditto", {image.bundle.string(), staging.string()});
    // Stored before it is moved in: after a power cut the target must not be a bundle
    // whose files were never written. The copy's signature check reads the same fresh
    // files and must pass before the renames too, so the two run side by side; a
    // rejected copy is still the error the user sees.
    std::exception_ptr unstored;
    {
        const std::jthread storing([&] {
            try {
                files.syncTree(staging);
            } catch (...) {
                unstored = std::current_exception();
            }
        });
        tools("codesign", {"--verify", "--deep", "--strict", staging.string()});
    }
    if (unstored)
        std::rethrow_exception(unstored);
    step.begin("swap");
    record.advance(TransactionState::swapping);

    // Each rename is stored at once, so a power cut cannot undo one that came before.
    const auto moveDurably = [&](const fs::path& from, const fs::path& to) {
        files.move(from, to);
        platform::quietly(log, "sync " + parent.string(), [&] { files.sync(parent); });
    };
    const auto restoreQuietly = [&](const fs::path& from, const fs::path& to) {
        if (platform::quietly(log, "put back " + from.string(), [&] { moveDurably(from, to); }))
            platform::Event(log, "rollback").with("putBack", from.string()).with("to", to.string());
    };
    const bool existed = files.exists(target);
    if (existed) {
        try {
            moveDurably(target, previous);
        } catch (...) {
            if (!files.exists(target))
                restoreQuietly(previous, target);
            throw;
        }
    }
    try {
        moveDurably(staging, target);
    } catch (...) {
        if (existed && !files.exists(target))
            restoreQuietly(previous, target);
        throw;
    }
    record.newBundleAtTarget(true);

    // Launch confirmation.
    step.begin("launch");
    const fs::path healthFile = updateHealthFile(home, manifest.environment, id);
    try {
        tools("open", {target.string(), "--args", "--installer-transaction=" + id});
    } catch (...) {
        if (existed) {
            platform::quietly(log, "take the new bundle back out", [&] {
                moveDurably(target, staging);
                record.newBundleAtTarget(false);
            });
            restoreQuietly(previous, target);
        }
        throw;
    }
    record.advanceQuietly(TransactionState::launched);
    status("安装完成，正在确认启动…");
    step.begin("confirm start");
    const auto launched = system.now();
    const auto deadline = launched + confirmLimit;
    for (int polls = 1;; ++polls) {
        if (!(system.now() < deadline)) {
            platform::Event(log, "launch wait")
                .with("healthFile", healthFile.string())
                .with("polls", polls - 1)
                .with("ms", millisecondsSince(system, launched))
                .with("result", "no confirmation within the limit");
            throw InstallerError("新版本启动未确认。旧程序已保留，请关闭网盘后使用安装器修复；不会"
                                 "自动降级用户数据。");
        }
        if (healthFileConfirms(healthFile, manifest.appVersion, image.build)) {
            platform::Event(log, "launch wait")
                .with("healthFile", healthFile.string())
                .with("polls", polls)
                .with("ms", millisecondsSince(system, launched))
                .with("result", "confirmed by the health file of " + manifest.appVersion + " (" +
                                    std::to_string(image.build) + ")");
            break;
        }
        system.sleep(confirmPollInterval);
    }
    record.advanceQuietly(TransactionState::confirmed);
    std::error_code ignored;
    fs::remove(healthFile, ignored);
    if (existed)
        platform::quietly(log, "remove the previous copy", [&] { files.remove(previous); });
    // A repair, or a newer release after an unconfirmed start, leaves nothing older.
    step.begin("clean up");
    removeOlderTransactions(target, id, recovery);
    step.end();
    status("更新已完成");
}

} // namespace installer::install
