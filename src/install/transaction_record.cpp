#include "install/transaction_record.h"

#include "platform/file.h"
#include "platform/installer_error.h"
#include "platform/system_error.h"
#include "trust/crypto.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <nlohmann/json.hpp>

namespace installer::install {

namespace {

namespace fs = std::filesystem;

constexpr std::array<std::string_view, 5> stateNames = {"attaching", "attached", "swapping",
                                                        "launched", "confirmed"};
constexpr std::size_t maxRecordSize = 64 * 1024;
constexpr std::string_view recordPrefix = ".tavelo-transaction-";
constexpr std::string_view recordSuffix = ".json";

} // namespace

std::string_view stateName(TransactionState state) {
    return stateNames[static_cast<std::size_t>(state)];
}

bool isTransactionID(std::string_view id) {
    if (id.size() != 36)
        return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

fs::path stagingCopy(const fs::path& target, const std::string& id) {
    return target.parent_path() / (".tavelo-new-" + id + ".app");
}

fs::path previousCopy(const fs::path& target, const std::string& id) {
    return target.parent_path() / (".tavelo-previous-" + id + ".app");
}

std::string targetKey(const fs::path& target) {
    std::string key = target.filename().string();
    // Letters beyond ASCII are left as written: the bundle names differ only in ASCII.
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return key;
}

std::string encodeRecord(const TransactionRecord& record) {
    const nlohmann::ordered_json json = {
        {"id", record.id},
        {"target", record.target.string()},
        {"package", record.package.string()},
        {"mountPoint", record.mountPoint},
        {"environment", record.environment},
        {"appVersion", record.appVersion},
        {"buildNumber", record.buildNumber},
        {"started", record.started},
        {"state", stateName(record.state)},
        {"finished", record.finished},
    };
    return json.dump(); // throws for text that is not UTF-8
}

std::optional<TransactionRecord> decodeRecord(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    const auto textOf = [&](const char* key) -> std::optional<std::string> {
        const auto found = json.find(key);
        if (found == json.end() || !found->is_string())
            return std::nullopt;
        return found->get<std::string>();
    };
    const auto numberOf = [&](const char* key) -> std::optional<std::uint64_t> {
        const auto found = json.find(key);
        if (found == json.end() || !found->is_number_unsigned())
            return std::nullopt;
        return found->get<std::uint64_t>();
    };
    const auto id = textOf("id"), target = textOf("target"), package = textOf("package"),
               mountPoint = textOf("mountPoint"), environment = textOf("environment"),
               appVersion = textOf("appVersion"), state = textOf("state");
    const auto build = numberOf("buildNumber"), started = numberOf("started");
    const auto finished = json.find("finished");
    if (!id || !target || !package || !mountPoint || !environment || !appVersion || !state ||
        !build || !started || finished == json.end() || !finished->is_boolean())
        return std::nullopt;
    const auto stateAt = std::find(stateNames.begin(), stateNames.end(), *state);
    if (stateAt == stateNames.end() || !isTransactionID(*id))
        return std::nullopt;
    TransactionRecord record;
    record.id = *id;
    record.target = *target;
    record.package = *package;
    record.mountPoint = *mountPoint;
    record.environment = *environment;
    record.appVersion = *appVersion;
    record.buildNumber = *build;
    record.started = *started;
    record.state = static_cast<TransactionState>(stateAt - stateNames.begin());
    record.finished = finished->get<bool>();
    return record;
}

TransactionJournal::TransactionJournal(fs::path target, const platform::FileManager& files,
                                       const platform::EventLog& log)
    : target_(std::move(target)), folder_(target_.parent_path()), files_(files), log_(log) {}

fs::path TransactionJournal::recordFile(const std::string& id) const {
    return folder_ / (std::string(recordPrefix) + id + std::string(recordSuffix));
}

std::optional<platform::FileLock> TransactionJournal::lockTarget() const {
    const std::string key = targetKey(target_);
    trust::Sha256 hasher;
    hasher.update(key.data(), key.size());
    const auto digest = hasher.finish();
    const fs::path file =
        folder_ / (".tavelo-lock-" +
                   trust::hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 16)));
    std::optional<platform::FileLock> lock;
    try {
        lock = platform::FileLock::tryAcquire(file);
    } catch (const platform::SystemError&) {
        if (!files_.exists(folder_) || !files_.isWritable(folder_))
            return std::nullopt;
        throw;
    }
    if (!lock)
        throw InstallerError("另一个安装正在进行，请稍后重试");
    return lock;
}

void TransactionJournal::save(const TransactionRecord& record) const {
    const fs::path file = recordFile(record.id);
    std::string text;
    try {
        text = encodeRecord(record);
    } catch (const nlohmann::json::exception&) {
        platform::throwSystemError(EILSEQ, "无法写入安装记录", file);
    }
    files_.writeDurably(file, text);
    // Other users' installers of this target must read it too.
    std::error_code ignored;
    fs::permissions(file,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    ignored);
}

void TransactionJournal::remove(const std::string& id) const {
    files_.remove(recordFile(id));
    files_.sync(folder_);
}

TransactionJournal::Listing TransactionJournal::list() const {
    Listing listing;
    std::vector<fs::path> entries;
    try {
        entries = files_.list(folder_);
    } catch (const std::exception&) {
        return listing;
    }
    const std::string key = targetKey(target_);
    for (const auto& entry : entries) {
        const std::string name = entry.filename().string();
        if (!name.starts_with(recordPrefix) || !name.ends_with(recordSuffix))
            continue;
        const std::string id = name.substr(recordPrefix.size(),
                                           name.size() - recordPrefix.size() - recordSuffix.size());
        if (!isTransactionID(id))
            continue;
        listing.claimed.insert(id);
        try {
            const std::string text = platform::readFile(entry, maxRecordSize);
            auto record = decodeRecord(text);
            if (record && text.size() <= maxRecordSize && record->id == id &&
                targetKey(record->target) == key)
                listing.records.push_back(std::move(*record));
        } catch (const std::exception&) {
            // Its id still claims its copies; only what it says is unknown.
            platform::ignoredFailure(log_, "read transaction record");
        }
    }
    std::sort(listing.records.begin(), listing.records.end(), [](const auto& a, const auto& b) {
        return a.started != b.started ? a.started > b.started : a.id > b.id;
    });
    return listing;
}

} // namespace installer::install
