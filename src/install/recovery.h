#pragma once

#include "install/system_tools.h"
#include "install/transaction_record.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace installer::install {

// A release whose start no transaction confirmed.
struct UnconfirmedRelease {
    std::string appVersion;
    std::uint64_t buildNumber = 0;
};

struct RecoveryContext {
    const TransactionJournal& journal;
    const platform::FileManager& files;
    const SystemTools& tools;
    std::filesystem::path home; // where the health files are
    std::string appID;          // the application the target must hold
};

// Finishes or undoes what transactions that died left of the target; the caller holds
// the target's lock, so none of them is alive. Newest first: when the target is empty,
// only the previous copy of the latest transaction that swapped it goes back, never an
// older one. Removes staging copies, detaches images no live installer uses, and
// discards the previous copy of a start that was confirmed. A record stays until all
// of that really happened. Best-effort: nothing is thrown. Runs no tool unless a record
// needs one. The target is the resolved path.
// Returns the release at the target when it came from a start no one confirmed, which
// installing that same release again repairs.
std::optional<UnconfirmedRelease> recover(const std::filesystem::path& target,
                                          const RecoveryContext& context);

// After a confirmed start: every other transaction's copies and health file for the
// target go. They are older, and the target now holds a confirmed release.
void removeOlderTransactions(const std::filesystem::path& target, const std::string& currentID,
                             const RecoveryContext& context);

// Hidden copies beside the target that no record claims (an installer that kept no
// records, or a record that was lost) and that are not `currentID`'s. When the target is
// missing, the newest that is a whole bundle of the application goes back to it; the
// others are removed. Best-effort; runs no tool.
void sweepOrphans(const std::filesystem::path& target, const std::string& currentID,
                  const RecoveryContext& context);

} // namespace installer::install
