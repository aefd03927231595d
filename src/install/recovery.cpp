#include "install/recovery.h"

#include "install/disk_image_output.h"
#include "install/health_file.h"
#include "trust/bundle_version.h"

#include <algorithm>

namespace installer::install {

namespace {

namespace fs = std::filesystem;

// Something, even a dangling link, is at the path.
bool occupied(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

void removeQuietly(const fs::path& path, const platform::FileManager& files) {
    try {
        if (occupied(path))
            files.remove(path);
    } catch (const std::exception&) {
    }
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

// The images a record's transaction may have left attached: those of its package, and
// of those only the one at its mount point once that was known.
void detachImagesOf(const TransactionRecord& record, const std::vector<AttachedImage>& images,
                    const SystemTools& tools) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(record.package, error);
    for (const auto& image : images) {
        if (image.imagePath != record.package.native() && image.imagePath != resolved.native())
            continue;
        for (const auto& mountPoint : image.mountPoints) {
            if (!record.mountPoint.empty() && mountPoint != record.mountPoint)
                continue;
            try {
                tools("hdiutil", {"detach", mountPoint});
            } catch (const std::exception&) {
            }
        }
    }
}

} // namespace

std::optional<UnconfirmedRelease> recover(const fs::path& target, const RecoveryContext& context) {
    const platform::FileManager& files = context.files;
    std::vector<TransactionRecord> records = context.journal.recordsFor(target);
    // Asked once, and only when some transaction may still have its image attached.
    std::optional<std::vector<AttachedImage>> images;
    if (std::any_of(records.begin(), records.end(), [](const auto& r) { return !r.finished; })) {
        try {
            images = attachedImages(context.tools("hdiutil", {"info", "-plist"}));
        } catch (const std::exception&) {
        }
    }

    std::optional<UnconfirmedRelease> unconfirmed;
    for (auto& record : records) {
        try {
            if (!record.finished && images)
                detachImagesOf(record, *images, context.tools);
            removeQuietly(record.staging, files);
            // Only into an empty target: a bundle there is never replaced by an older one.
            if (!occupied(target) && occupied(record.previous)) {
                files.move(record.previous, target);
                try {
                    files.sync(target.parent_path());
                } catch (const std::exception&) {
                }
            }
            const fs::path health = updateHealthFile(context.home, record.environment, record.id);
            const bool confirmed =
                record.state == TransactionState::confirmed ||
                healthFileConfirms(health, record.appVersion, record.buildNumber);
            if (confirmed && files.exists(target)) {
                removeQuietly(record.previous, files);
                removeQuietly(health, files);
            }
            const bool unconfirmedAtTarget = !confirmed &&
                                             record.state >= TransactionState::swapping &&
                                             holdsRelease(target, record, context.appID);
            if (unconfirmedAtTarget)
                unconfirmed = UnconfirmedRelease{record.appVersion, record.buildNumber};
            if (!occupied(record.previous) && !unconfirmedAtTarget) {
                context.journal.remove(record.id);
            } else if (!record.finished && images) {
                record.finished = true;
                context.journal.save(record);
            }
        } catch (const std::exception&) {
            // What could not be done now stays recorded for the next run.
        }
    }
    return unconfirmed;
}

void removeOlderTransactions(const fs::path& target, const std::string& currentID,
                             const RecoveryContext& context) {
    for (const auto& record : context.journal.recordsFor(target)) {
        if (record.id == currentID)
            continue;
        removeQuietly(record.staging, context.files);
        removeQuietly(record.previous, context.files);
        removeQuietly(updateHealthFile(context.home, record.environment, record.id), context.files);
        try {
            context.journal.remove(record.id);
        } catch (const std::exception&) {
        }
    }
}

} // namespace installer::install
