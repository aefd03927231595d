#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace installer::platform {

struct OSVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
};

using Clock = std::chrono::system_clock;

// Every fact about the machine the installer acts on, behind one interface so tests
// can set the processor, the system version and the time, and never really wait.
class System {
public:
    virtual ~System() = default;

    // "arm64" on Apple silicon (also under translation), otherwise "x64".
    virtual std::string processorName() const = 0;
    virtual OSVersion osVersion() const = 0;
    virtual Clock::time_point now() const = 0;
    virtual void sleep(std::chrono::milliseconds duration) const = 0;
    virtual std::filesystem::path homeFolder() const = 0;
    // Bundle identifiers of the running applications, in the system's order.
    virtual std::vector<std::string> runningBundleIdentifiers() const = 0;
    // kill(pid, 0) == 0: the process exists (it is never signalled).
    virtual bool processExists(int pid) const = 0;
};

// The machine this process runs on.
class RealSystem : public System {
public:
    std::string processorName() const override;
    OSVersion osVersion() const override;
    Clock::time_point now() const override;
    void sleep(std::chrono::milliseconds duration) const override;
    std::filesystem::path homeFolder() const override;
    std::vector<std::string> runningBundleIdentifiers() const override;
    bool processExists(int pid) const override;
};

// The leading dot-separated numbers of a release text such as "6.1.0-18-amd64"
// (missing parts are 0).
OSVersion parseOSRelease(const std::string& text);

} // namespace installer::platform
