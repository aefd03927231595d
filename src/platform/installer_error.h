#pragma once

#include <stdexcept>
#include <string>

namespace installer {

// The installer's own refusals. The message is a fixed user-facing text and is shown
// exactly as written wherever the error surfaces (standard error, the card). Several
// causes share one message; the detail, for the diagnostics log only, tells them apart.
class InstallerError : public std::runtime_error {
public:
    explicit InstallerError(const std::string& message, std::string detail = {})
        : std::runtime_error(message), detail_(std::move(detail)) {}
    std::string message() const { return what(); }
    const std::string& detail() const { return detail_; }

private:
    std::string detail_;
};

} // namespace installer
