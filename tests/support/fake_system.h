#pragma once

#include "platform/system.h"

#include <functional>
#include <thread>

namespace installer::testing {

// A machine whose facts a test sets. Sleeping advances the clock instead of waiting.
class FakeSystem : public platform::System {
public:
    std::string processor = "arm64";
    platform::OSVersion os{13, 4, 0};
    mutable platform::Clock::time_point clock =
        platform::Clock::time_point(std::chrono::seconds(1'767'225'600));  // 2026-01-01
    std::filesystem::path home = "/nonexistent-home";
    std::vector<std::string> running;
    std::function<bool(int)> processProbe = [](int) { return false; };
    mutable std::chrono::milliseconds slept{0};
    // Waits for real processes need some real time: each sleep also waits this share of
    // its length (the clock still moves by the whole of it).
    double realSleepShare = 0;

    std::string processorName() const override { return processor; }
    platform::OSVersion osVersion() const override { return os; }
    platform::Clock::time_point now() const override { return clock; }
    void sleep(std::chrono::milliseconds duration) const override {
        clock += duration;
        slept += duration;
        if (realSleepShare > 0)
            std::this_thread::sleep_for(duration * realSleepShare);
    }
    std::filesystem::path homeFolder() const override { return home; }
    std::vector<std::string> runningBundleIdentifiers() const override { return running; }
    bool processExists(int pid) const override { return processProbe(pid); }
};

} // namespace installer::testing
