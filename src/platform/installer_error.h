#pragma once

#include <stdexcept>
#include <string>

namespace installer {

// The installer's own refusals. The message is a fixed user-facing text and is shown
// exactly as written wherever the error surfaces (standard error, the card).
class InstallerError : public std::runtime_error {
public:
    explicit InstallerError(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
};

} // namespace installer
