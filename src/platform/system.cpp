#include "platform/system.h"

#include "platform/bundle.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

#ifdef __APPLE__
#include <libproc.h>
#include <sys/sysctl.h>
#endif

namespace installer::platform {

namespace {

// The bundle an executable path lies in: the innermost component ending in ".app".
std::optional<std::filesystem::path> enclosingBundle(const std::filesystem::path& executable) {
    std::optional<std::filesystem::path> found;
    std::filesystem::path walked;
    for (const auto& part : executable) {
        walked /= part;
        if (part.extension() == ".app")
            found = walked;
    }
    return found;
}

// The executables of this user's processes: the running applications are the ones in
// this user's session. Another user's process, or a bundle planted for it, is not ours
// to wait for or to read.
std::vector<std::filesystem::path> runningExecutables() {
    std::vector<std::filesystem::path> paths;
    const uid_t user = ::geteuid();
#ifdef __APPLE__
    std::vector<pid_t> pids(4096);
    const int bytes = proc_listpids(PROC_UID_ONLY, user, pids.data(),
                                    static_cast<int>(pids.size() * sizeof(pid_t)));
    for (int i = 0; i < bytes / static_cast<int>(sizeof(pid_t)); ++i) {
        char buffer[PROC_PIDPATHINFO_MAXSIZE];
        if (pids[i] > 0 && proc_pidpath(pids[i], buffer, sizeof buffer) > 0)
            paths.emplace_back(buffer);
    }
#else
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        struct stat owner {};
        if (name.empty() ||
            !std::all_of(name.begin(), name.end(),
                         [](unsigned char c) { return std::isdigit(c); }) ||
            ::stat(entry.path().c_str(), &owner) != 0 || owner.st_uid != user)
            continue;
        std::error_code linkError;
        auto target = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (!linkError)
            paths.push_back(std::move(target));
    }
#endif
    return paths;
}

} // namespace

std::string RealSystem::processorName() const {
#ifdef __APPLE__
    // The machine's processor, not this process's architecture: under translation an
    // x86_64 build still reports Apple silicon here.
    int value = 0;
    size_t size = sizeof value;
    if (sysctlbyname("hw.optional.arm64", &value, &size, nullptr, 0) == 0 && size == sizeof value &&
        value == 1)
        return "arm64";
    return "x64";
#else
    struct utsname name {};
    if (uname(&name) == 0) {
        const std::string machine = name.machine;
        if (machine == "aarch64" || machine == "arm64")
            return "arm64";
    }
    return "x64";
#endif
}

OSVersion parseOSRelease(const std::string& text) {
    OSVersion version;
    std::int64_t* parts[] = {&version.major, &version.minor, &version.patch};
    std::size_t at = 0;
    for (std::int64_t* part : parts) {
        std::size_t digits = 0;
        std::int64_t value = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
               digits < 18) {
            value = value * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0)
            break;
        *part = value;
        if (at >= text.size() || text[at] != '.')
            break;
        ++at;
    }
    return version;
}

OSVersion RealSystem::osVersion() const {
#ifdef __APPLE__
    char buffer[64] = {};
    size_t size = sizeof buffer - 1;
    if (sysctlbyname("kern.osproductversion", buffer, &size, nullptr, 0) == 0)
        return parseOSRelease(buffer);
    return {};
#else
    struct utsname name {};
    if (uname(&name) != 0)
        return {};
    return parseOSRelease(name.release);
#endif
}

Clock::time_point RealSystem::now() const {
    return Clock::now();
}

void RealSystem::sleep(std::chrono::milliseconds duration) const {
    std::this_thread::sleep_for(duration);
}

std::filesystem::path RealSystem::homeFolder() const {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    struct passwd entry {};
    struct passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir)
        return result->pw_dir;
    return "/";
}

std::vector<std::string> RealSystem::runningBundleIdentifiers() const {
    std::vector<std::string> identifiers;
    std::set<std::filesystem::path> seen;
    for (const auto& executable : runningExecutables()) {
        const auto bundlePath = enclosingBundle(executable);
        if (!bundlePath || !seen.insert(*bundlePath).second)
            continue;
        if (const auto bundle = Bundle::open(*bundlePath))
            if (auto identifier = bundle->identifier())
                identifiers.push_back(std::move(*identifier));
    }
    return identifiers;
}

bool RealSystem::processExists(int pid) const {
    return ::kill(pid, 0) == 0;
}

} // namespace installer::platform
