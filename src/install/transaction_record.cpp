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

} // namespace

std::string encodeRecord(const TransactionRecord& record) {
    const nlohmann::ordered_json json = {
        {"id", record.id},
        {"target", record.target.string()},
        {"package", record.package.string()},
        {"mountPoint", record.mountPoint},
        {"staging", record.staging.string()},
        {"previous", record.previous.string()},
        {"environment", record.environment},
        {"appVersion", record.appVersion},
        {"buildNumber", record.buildNumber},
        {"state", stateNames[static_cast<std::size_t>(record.state)]},
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
    const auto id = textOf("id"), target = textOf("target"), package = textOf("package"),
               mountPoint = textOf("mountPoint"), staging = textOf("staging"),
               previous = textOf("previous"), environment = textOf("environment"),
               appVersion = textOf("appVersion"), state = textOf("state");
    const auto build = json.find("buildNumber");
    const auto finished = json.find("finished");
    if (!id || !target || !package || !mountPoint || !staging || !previous || !environment ||
        !appVersion || !state || build == json.end() || !build->is_number_unsigned() ||
        finished == json.end() || !finished->is_boolean())
        return std::nullopt;
    const auto stateAt = std::find(stateNames.begin(), stateNames.end(), *state);
    if (stateAt == stateNames.end() || !isTransactionID(*id))
        return std::nullopt;
    // Recovery removes the hidden copies a record names: they must be this
    // transaction's own names beside its target, and nothing else.
    const fs::path parent = fs::path(*target).parent_path();
    if (*staging != (parent / (".tavelo-new-" + *id + ".app")).native() ||
        *previous != (parent / (".tavelo-previous-" + *id + ".app")).native())
        return std::nullopt;
    TransactionRecord record;
    record.id = *id;
    record.target = *target;
    record.package = *package;
    record.mountPoint = *mountPoint;
    record.staging = *staging;
    record.previous = *previous;
    record.environment = *environment;
    record.appVersion = *appVersion;
    record.buildNumber = build->get<std::uint64_t>();
    record.state = static_cast<TransactionState>(stateAt - stateNames.begin());
    record.finished = finished->get<bool>();
    return record;
}

TransactionJournal::TransactionJournal(const fs::path& home, const platform::FileManager& files)
    : folder_(home / "Library" / "Application Support" / "com.tavelo.installer" / "transactions"),
      files_(files) {}

platform::FileLock TransactionJournal::lockTarget(const fs::path& target) const {
    files_.createFolders(folder_, 0700);
    const std::string path = target.string();
    trust::Sha256 hasher;
    hasher.update(path.data(), path.size());
    const auto digest = hasher.finish();
    const std::string name =
        trust::hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 16)) + ".lock";
    auto lock = platform::FileLock::tryAcquire(folder_ / name);
    if (!lock)
        throw InstallerError("另一个安装正在进行，请稍后重试");
    return std::move(*lock);
}

void TransactionJournal::save(const TransactionRecord& record) const {
    const fs::path file = folder_ / (record.id + ".json");
    std::string text;
    try {
        text = encodeRecord(record);
    } catch (const nlohmann::json::exception&) {
        platform::throwSystemError(EILSEQ, "无法写入安装记录", file);
    }
    files_.writeDurably(file, text);
}

void TransactionJournal::remove(const std::string& id) const {
    files_.remove(folder_ / (id + ".json"));
    files_.sync(folder_);
}

std::vector<TransactionRecord> TransactionJournal::recordsFor(const fs::path& target) const {
    std::vector<TransactionRecord> records;
    std::vector<fs::path> entries;
    try {
        entries = files_.list(folder_);
    } catch (const std::exception&) {
        return records; // no journal yet
    }
    for (const auto& entry : entries) {
        if (entry.extension() != ".json")
            continue;
        try {
            const std::string text = platform::readFile(entry, maxRecordSize);
            auto record = decodeRecord(text);
            if (record && text.size() <= maxRecordSize &&
                record->target.native() == target.native() &&
                entry.filename() == record->id + ".json")
                records.push_back(std::move(*record));
        } catch (const std::exception&) {
        }
    }
    return records;
}

} // namespace installer::install
