#include "release_catalog.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace installer::service {

namespace fs = std::filesystem;

namespace {

std::optional<std::vector<std::uint64_t>> dotted(std::string_view text) {
    std::vector<std::uint64_t> parts;
    for (;;) {
        std::uint64_t part = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), part);
        if (error != std::errc() || end == text.data())
            return std::nullopt;
        parts.push_back(part);
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        if (text.empty())
            return parts;
        if (text.front() != '.')
            return std::nullopt;
        text.remove_prefix(1);
    }
}

std::string textOf(const Release& release, const char* key) {
    const auto member = release.find(key);
    return member != release.end() && member->is_string() ? member->get<std::string>() : "";
}

std::uint64_t numberOf(const Release& release, const char* key) {
    const auto member = release.find(key);
    return member != release.end() && member->is_number_unsigned() ? member->get<std::uint64_t>()
                                                                   : 0;
}

// True unless the release states a lower bound the machine's value is below. A bound
// that does not parse is no bound: the service passes odd data on for the installer to
// judge.
bool atLeast(const std::string& value, const std::string& bound) {
    const std::optional<int> order = compareDotted(value, bound);
    return !order || *order >= 0;
}

bool installerFits(const Release& release, const Query& query) {
    if (!atLeast(query.installerVersion, textOf(release, "minInstallerVersion")))
        return false;
    const auto protocol = release.find("minUpdaterProtocol");
    return protocol == release.end() || !protocol->is_number_integer() ||
           atLeast(query.protocolVersion, std::to_string(protocol->get<std::int64_t>()));
}

bool systemFits(const Release& release, const Query& query) {
    return atLeast(query.osVersion, textOf(release, "minOS"));
}

bool newer(const Release* a, const Release* b) {
    const std::optional<int> order =
        compareDotted(textOf(*a, "appVersion"), textOf(*b, "appVersion"));
    if (order && *order != 0)
        return *order > 0;
    if (numberOf(*a, "buildNumber") != numberOf(*b, "buildNumber"))
        return numberOf(*a, "buildNumber") > numberOf(*b, "buildNumber");
    return numberOf(*a, "revision") > numberOf(*b, "revision");
}

} // namespace

std::optional<int> compareDotted(std::string_view a, std::string_view b) {
    auto left = dotted(a);
    auto right = dotted(b);
    if (!left || !right)
        return std::nullopt;
    const std::size_t size = std::max(left->size(), right->size());
    left->resize(size);
    right->resize(size);
    return *left < *right ? -1 : *left > *right ? 1 : 0;
}

std::vector<Release> loadReleases(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == ".json")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<Release> releases;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        Release release = Release::parse(text.str(), nullptr, false);
        if (!in || !release.is_object())
            throw std::runtime_error("release file is not a JSON object: " + file.string());
        releases.push_back(std::move(release));
    }
    return releases;
}

Offer chooseRelease(const std::vector<Release>& releases, const Query& query) {
    std::vector<const Release*> candidates;
    for (const auto& release : releases)
        if (textOf(release, "channel") == "stable" &&
            textOf(release, "platform") == query.platform && textOf(release, "arch") == query.arch)
            candidates.push_back(&release);
    if (candidates.empty())
        return {nullptr, "NO_STABLE_RELEASE"};
    std::stable_sort(candidates.begin(), candidates.end(), newer);
    for (const Release* release : candidates)
        if (installerFits(*release, query) && systemFits(*release, query))
            return {release, ""};
    return {nullptr, installerFits(*candidates.front(), query) ? "OS_UNSUPPORTED"
                                                               : "INSTALLER_UPGRADE_REQUIRED"};
}

const Release* findRelease(const std::vector<Release>& releases, std::string_view releaseId) {
    for (const auto& release : releases)
        if (textOf(release, "releaseId") == releaseId)
            return &release;
    return nullptr;
}

} // namespace installer::service
