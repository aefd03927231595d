#include "install/recovery.h"

#include "install/disk_image_output.h"
#include "install/health_file.h"
#include "platform/event_log.h"
#include "platform/system_error.h"
#include "trust/bundle_version.h"
#include "trust/version.h"

#include <algorithm>
#include <cerrno>

namespace installer::install {

namespace {

namespace fs = std::filesystem;

fs::file_type typeAt(const fs::path& path) {
    std::error_code error;
    const fs::file_type type = fs::symlink_status(path, error).type();
    return error ? fs::file_type::not_found : type;
}

// Something, even a dangling link, is at the path.
bool occupied(const fs::path& path) {
    return typeAt(path) != fs::file_type::not_found;
}

// A folder of its own at the path, not a link to one: the only thing ever moved into
// the target.
bool realFolder(const fs::path& path) {
    return typeAt(path) == fs::file_type::directory;
}

void removeQuietly(const fs::path& path, const RecoveryContext& context) {
    if (!occupied(path))
        return;
    if (platform::quietly(context.tools.log(), "remove " + path.string(),
                          [&] { context.files.remove(path); }))
        platform::Event(context.tools.log(), "recovery").with("removed", path.string());
}

void moveBack(const fs::path& copy, const fs::path& target, const RecoveryContext& context) {
    context.files.move(copy, target);
    platform::Event(context.tools.log(), "recovery")
        .with("putBack", copy.string())
        .with("to", target.string());
    platform::quietly(context.tools.log(), "sync " + target.parent_path().string(),
                      [&] { context.files.sync(target.parent_path()); });
}

bool holdsRelease(const fs::path& target, const TransactionRecord& record,
                  const std::string& appID) {
    try {
        const auto installed = trust::bundleVersion(target, appID);
        return installed.version == record.appVersion && installed.build == record.buildNumber;
    } catch (const std::exception&) {
        return false;
    }
}

// No live installer has the package attached: each holds its package's shared lock
// from before its attach until after its detach. A package that is gone can no longer
// be attached, and the run that removed it had finished with it.
std::optional<platform::FileLock> packageUnused(const fs::path& package, bool& unused,
                                                const platform::EventLog& log) {
    unused = false;
    try {
        auto lock = platform::FileLock::tryExclusive(package);
        unused = lock.has_value();
        return lock;
    } catch (const platform::SystemError& error) {
        unused = error.code().value() == ENOENT;
    } catch (const std::exception&) {
        // Its image stays attached until a later run can tell.
        platform::ignoredFailure(log, "lock " + package.string());
    }
    return std::nullopt;
}

// Detaches what the record's transaction left attached. True once nothing of it is: the
// mount point the record names, or every mount of its package when the installer died
// before it learned one, as `hdiutil info` lists them for that package. A record is
// written by whoever can write the target's folder, so its package is only matched
// against what the system reports, never opened for more than its lock.
bool detachImagesOf(const TransactionRecord& record,
                    const std::optional<std::vector<AttachedImage>>& images,
                    const SystemTools& tools) {
    if (!images)
        return false; // the listing failed: ask again next time
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(record.package, error);
    std::vector<std::string> mounts;
    for (const auto& image : *images) {
        if (image.imagePath != record.package.native() && image.imagePath != resolved.native())
            continue;
        for (const auto& mountPoint : image.mountPoints)
            if (record.mountPoint.empty() || mountPoint == record.mountPoint)
                mounts.push_back(mountPoint);
    }
    if (mounts.empty())
        return true;
    bool unused = false;
    const auto held = packageUnused(record.package, unused, tools.log());
    if (!unused)
        return false;
    bool detached = true;
    for (const auto& mountPoint : mounts) {
        detached = platform::quietly(tools.log(), "detach " + mountPoint,
                                     [&] {
                                         tools("hdiutil", {"detach", mountPoint});
                                     }) &&
                   detached;
    }
    return detached;
}

// The id of a hidden copy's name, and whether it is a previous copy.
std::optional<std::pair<std::string, bool>> hiddenCopy(const std::string& name) {
    for (const bool previous : {false, true}) {
        const std::string_view prefix = previous ? ".tavelo-previous-" : ".tavelo-new-";
        if (name.size() == prefix.size() + 36 + 4 && name.starts_with(prefix) &&
            name.ends_with(".app")) {
            std::string id = name.substr(prefix.size(), 36);
            if (isTransactionID(id))
                return std::make_pair(std::move(id), previous);
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<UnconfirmedRelease> recover(const fs::path& target, const RecoveryContext& context) {
    std::vector<TransactionRecord> records = context.journal.list().records;
    platform::Event(context.tools.log(), "recovery").with("records", records.size());
    if (records.empty())
        return std::nullopt;
    // Asked once, and only when some transaction may still have its image attached.
    std::optional<std::vector<AttachedImage>> images;
    if (std::any_of(records.begin(), records.end(), [](const auto& r) { return !r.finished; })) {
        platform::quietly(context.tools.log(), "list attached images", [&] {
            images = attachedImages(context.tools("hdiutil", {"info", "-plist"}));
        });
    }

    // Only the latest transaction that swapped can have emptied the target; an older
    // one's previous copy is older than what the user last had.
    const auto latestSwap = std::find_if(records.begin(), records.end(), [](const auto& r) {
        return r.state >= TransactionState::swapping;
    });
    if (latestSwap != records.end() && latestSwap->state != TransactionState::confirmed &&
        !occupied(target)) {
        const fs::path previous = previousCopy(target, latestSwap->id);
        if (realFolder(previous))
            platform::quietly(context.tools.log(), "put back " + previous.string(),
                              [&] { moveBack(previous, target, context); });
    }

    std::optional<UnconfirmedRelease> unconfirmed;
    for (auto& record : records) {
        try {
            const fs::path staging = stagingCopy(target, record.id);
            const fs::path previous = previousCopy(target, record.id);
            const bool imageGone = record.finished || detachImagesOf(record, images, context.tools);
            removeQuietly(staging, context);
            // A link is never anyone's application.
            if (typeAt(previous) == fs::file_type::symlink)
                removeQuietly(previous, context);
            const fs::path health = updateHealthFile(context.home, record.environment, record.id);
            const bool confirmed =
                record.state == TransactionState::confirmed ||
                healthFileConfirms(health, record.appVersion, record.buildNumber);
            // Older than the confirmed release, so never put back, even into an empty target.
            if (confirmed) {
                removeQuietly(previous, context);
                removeQuietly(health, context);
            }
            const bool unconfirmedAtTarget = !confirmed &&
                                             record.state >= TransactionState::swapping &&
                                             holdsRelease(target, record, context.appID);
            if (unconfirmedAtTarget && !unconfirmed)
                unconfirmed = UnconfirmedRelease{record.appVersion, record.buildNumber};
            const bool done = imageGone && !occupied(staging);
            platform::Event(context.tools.log(), "recovery")
                .with("record", record.id)
                .with("state", stateName(record.state))
                .with("release",
                      record.appVersion + " (" + std::to_string(record.buildNumber) + ")")
                .with("confirmed", confirmed)
                .with("imageGone", imageGone)
                .with("unconfirmedAtTarget", unconfirmedAtTarget)
                .with("done", done && !occupied(previous) && !unconfirmedAtTarget);
            if (done && !occupied(previous) && !unconfirmedAtTarget) {
                context.journal.remove(record.id);
            } else if (done && !record.finished) {
                record.finished = true;
                context.journal.save(record);
            }
        } catch (const std::exception&) {
            // What could not be done now stays recorded for the next run.
            platform::ignoredFailure(context.tools.log(), "recover transaction " + record.id);
        }
    }
    return unconfirmed;
}

void removeOlderTransactions(const fs::path& target, const std::string& currentID,
                             const RecoveryContext& context) {
    for (const auto& record : context.journal.list().records) {
        if (record.id == currentID)
            continue;
        removeQuietly(stagingCopy(target, record.id), context);
        removeQuietly(previousCopy(target, record.id), context);
        removeQuietly(updateHealthFile(context.home, record.environment, record.id), context);
        // A record whose image may still be attached stays, for the next run to detach.
        if (!record.finished)
            continue;
        platform::quietly(context.tools.log(), "remove record " + record.id,
                          [&] { context.journal.remove(record.id); });
    }
}

void sweepOrphans(const fs::path& target, const std::string& currentID,
                  const RecoveryContext& context) {
    std::vector<fs::path> entries;
    if (!platform::quietly(context.tools.log(), "list " + target.parent_path().string(),
                           [&] { entries = context.files.list(target.parent_path()); }))
        return;
    const std::set<std::string> claimed = context.journal.list().claimed;
    std::vector<fs::path> orphans;
    std::optional<fs::path> newest;
    trust::BundleVersion newestVersion;
    const bool targetMissing = !occupied(target);
    for (const auto& entry : entries) {
        const auto copy = hiddenCopy(entry.filename().string());
        if (!copy || copy->first == currentID || claimed.count(copy->first))
            continue;
        orphans.push_back(entry);
        if (!targetMissing || !copy->second || !realFolder(entry))
            continue;
        try {
            const auto found = trust::bundleVersion(entry, context.appID);
            const int order = newest ? trust::compare(found.version, newestVersion.version) : 1;
            if (order > 0 || (order == 0 && found.build > newestVersion.build)) {
                newest = entry;
                newestVersion = found;
            }
        } catch (const std::exception&) {
            // Not a whole bundle of this application: only removed.
            platform::Event(context.tools.log(), "recovery")
                .with("orphan", entry.string())
                .with("wholeBundle", false);
        }
    }
    if (newest) {
        // Kept when it cannot go back: it may be the only copy of the application left.
        orphans.erase(std::find(orphans.begin(), orphans.end(), *newest));
        platform::quietly(context.tools.log(), "put back " + newest->string(),
                          [&] { moveBack(*newest, target, context); });
    }
    for (const auto& orphan : orphans)
        removeQuietly(orphan, context);
}

} // namespace installer::install
