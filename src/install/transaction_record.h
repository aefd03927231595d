#pragma once

#include "platform/event_log.h"
#include "platform/file_lock.h"
#include "platform/file_manager.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
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
// file per transaction beside the target, written durably before the image is mounted
// and at every change of state. Whoever can write that folder can write a record, so a
// record names no path that is acted on except its image: the hidden copies follow
// from the id and the target that reads it.
struct TransactionRecord {
    std::string id;
    std::filesystem::path target; // only its name is compared, as targetKey does
    std::filesystem::path package;
    std::string mountPoint;  // empty until known
    std::string environment; // places the health file
    std::string appVersion;
    std::uint64_t buildNumber = 0;
    std::uint64_t started = 0; // microseconds since 1970; orders the records of a target
    TransactionState state = TransactionState::attaching;
    // The installer itself ended the transaction: staging copy removed, image detached.
    // The record stays only while a previous copy or an unconfirmed start remains.
    bool finished = false;
};

std::string encodeRecord(const TransactionRecord& record);
// Empty for text that is not a whole record.
std::optional<TransactionRecord> decodeRecord(std::string_view text);

bool isTransactionID(std::string_view id);
// The state's name in a record ("attaching", "swapping", ...).
std::string_view stateName(TransactionState state);

// The hidden copies of one transaction, in the target's folder.
std::filesystem::path stagingCopy(const std::filesystem::path& target, const std::string& id);
std::filesystem::path previousCopy(const std::filesystem::path& target, const std::string& id);

// The name under which one target's lock and records meet: its bundle name as a Mac
// volume, case-insensitive by default, compares it. A volume that tells case apart
// only makes two targets share one lock, which costs a wait, never a collision.
std::string targetKey(const std::filesystem::path& target);

// The records and the lock of one target, kept in the target's own folder: every
// installer of that target, whatever user runs it and however it spells the path,
// meets them there. The target must be the resolved path (no link, ".", ".." or "//").
class TransactionJournal {
public:
    TransactionJournal(std::filesystem::path target, const platform::FileManager& files,
                       const platform::EventLog& log = platform::noEventLog());

    // The target's lock, held by the one installer working on that target. Refused with
    // "另一个安装正在进行，请稍后重试" while another holds it. Empty when the folder is
    // missing or this process may not write it: such an installer changes nothing there,
    // so it neither needs the lock nor may repair anything.
    std::optional<platform::FileLock> lockTarget() const;

    // Durable: once it returns, the record survives a crash or a power loss.
    void save(const TransactionRecord& record) const;
    void remove(const std::string& id) const;

    struct Listing {
        std::vector<TransactionRecord> records; // this target's readable ones, newest first
        // Every id with a record file in the folder, readable or not, of any target: their
        // copies are no orphans, as an installer this one cannot read may still be at work.
        std::set<std::string> claimed;
    };
    Listing list() const;

private:
    std::filesystem::path recordFile(const std::string& id) const;

    std::filesystem::path target_;
    std::filesystem::path folder_;
    const platform::FileManager& files_;
    const platform::EventLog& log_;
};

} // namespace installer::install
