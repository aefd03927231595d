#pragma once

#include <utility>

namespace installer::platform {

// Runs a clean-up when the scope ends, however it ends. The clean-up must not throw:
// housekeeping never changes the outcome it follows.
template <typename F> class [[nodiscard]] ScopeExit {
public:
    explicit ScopeExit(F cleanUp) : cleanUp_(std::move(cleanUp)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        try {
            cleanUp_();
        } catch (...) {
            // The installer's clean-ups log their own failures (platform::quietly); one
            // that still throws here cannot even do that, and it is no reason to fail.
        }
    }

private:
    F cleanUp_;
};

} // namespace installer::platform
