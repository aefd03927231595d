#include "install/health_file.h"

#include "platform/file.h"
#include "release/settings.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace installer::install {

namespace {

// A health file is a few dozen bytes; anything near this is not one, and only its start
// would be read.
constexpr std::size_t maxHealthFileSize = 1024 * 1024;

} // namespace

std::filesystem::path updateHealthFile(const std::filesystem::path& home,
                                       const std::string& environment,
                                       const std::string& transactionID) {
    return home / "Library" / "Application Support" / release::editionName(environment) /
           "update-health" / (transactionID + ".json");
}

bool confirmsStart(std::string_view text, const std::string& appVersion, std::uint64_t build) {
    // JSON has no place for a raw NUL, and the parser would take it for the end of the
    // text and accept what came before.
    if (text.find('\0') != std::string_view::npos)
        return false;
    const auto health = nlohmann::json::parse(text, nullptr, false);
    if (!health.is_object())
        return false;
    const auto version = health.find("version");
    const auto number = health.find("buildNumber");
    const auto ready = health.find("ready");
    if (version == health.end() || !version->is_string() ||
        version->get_ref<const std::string&>() != appVersion)
        return false;
    if (number == health.end() || !number->is_number())
        return false;
    // Only a whole, non-negative number names a build; 42.5 or -1 never confirm.
    if (number->is_number_float()) {
        const double value = number->get<double>();
        if (!(value >= 0 && value < 18446744073709551616.0) || std::floor(value) != value ||
            static_cast<std::uint64_t>(value) != build)
            return false;
    } else if (!number->is_number_unsigned() || number->get<std::uint64_t>() != build) {
        return false;
    }
    return ready != health.end() && ready->is_boolean() && ready->get<bool>();
}

bool healthFileConfirms(const std::filesystem::path& file, const std::string& appVersion,
                        std::uint64_t build) {
    // A FIFO held open by a silent writer would stop the wait for good.
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error))
        return false;
    std::string text;
    try {
        text = platform::readFile(file, maxHealthFileSize);
    } catch (const std::exception&) {
        return false;
    }
    return text.size() <= maxHealthFileSize && confirmsStart(text, appVersion, build);
}

} // namespace installer::install
