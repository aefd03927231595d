#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace installer::install {

// The update-health file the new application writes for one transaction.
std::filesystem::path updateHealthFile(const std::filesystem::path& home,
                                       const std::string& environment,
                                       const std::string& transactionID);

// The health file's text confirms the start of this release: a JSON object whose
// "version" is the string appVersion (whole, compared with its length), whose
// "buildNumber" is a number of exactly this unsigned 64-bit value, and whose "ready"
// is true. Anything else, malformed text included, does not confirm (yet).
bool confirmsStart(std::string_view text, const std::string& appVersion, std::uint64_t build);

// Reads the health file and checks it. Only a regular file of at most a health file's
// possible size is read; anything else, or a file that cannot be read, confirms nothing.
bool healthFileConfirms(const std::filesystem::path& file, const std::string& appVersion,
                        std::uint64_t build);

} // namespace installer::install
