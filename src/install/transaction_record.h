#pragma once

#include "platform/file_lock.h"
#include "platform/file_manager.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace installer::install {

// How far an install transaction got, in order.
enum class TransactionState {
    attaching, // about to mount the image; its mount point is not known yet
    attached,  // the image is mounted at mountPoint
    swapping,  // the staging copy is complete and checked; the renames begin
    launched,  // the new bundle is at the target and was started
    confirmed, // its health file confirmed the start; clean-up follows
};

// What a later run needs to finish or undo a transaction that did not end: one JSON
// file per transaction, written durably before the image is mounted and at every
// change of state.
struct TransactionRecord {
    std::string id;
    std::filesystem::path target;
    std::filesystem::path package;
    std::string mountPoint; // empty until known
    std::filesystem::path staging;
    std::filesystem::path previous;
    std::string environment; // places the health file
    std::string appVersion;
    std::uint64_t buildNumber = 0;
    TransactionState state = TransactionState::attaching;
    // The installer itself ended the transaction: staging copy removed, image detached.
    // The record stays only while a previous copy or an unconfirmed start remains.
    bool finished = false;
};

std::string encodeRecord(const TransactionRecord& record);
// Empty for text that is not a whole record.
std::optional<TransactionRecord> decodeRecord(std::string_view text);

// The user's records and target locks: "Library/Application Support/
// com.tavelo.installer/transactions" in the home folder. Not under Caches, which the
// system may empty.
class TransactionJournal {
public:
    TransactionJournal(const std::filesystem::path& home, const platform::FileManager& files);

    // The target's lock, held by the one installer working on that target. Refused with
    // "另一个安装正在进行，请稍后重试" while another holds it.
    platform::FileLock lockTarget(const std::filesystem::path& target) const;

    // Durable: once it returns, the record survives a crash or a power loss.
    void save(const TransactionRecord& record) const;
    void remove(const std::string& id) const;
    // The readable records of one target (whole paths compared), in no particular order.
    std::vector<TransactionRecord> recordsFor(const std::filesystem::path& target) const;

private:
    std::filesystem::path folder_;
    const platform::FileManager& files_;
};

} // namespace installer::install
