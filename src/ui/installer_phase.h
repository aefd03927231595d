#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace installer::ui {

// Nothing running; the installer waits for the user. The card's first state.
struct Ready {};

// Asking the release service which release to install.
struct Checking {};

// The package is being downloaded. Both counts come straight from the transfer, so
// either may be negative or the written count may pass the total; the card copes.
struct Downloading {
    std::int64_t written = 0;
    std::int64_t total = 0;
};

// The downloaded or cached package and the release are being verified again.
struct Verifying {};

// The install transaction runs. The status is never displayed; it only tells the
// card whether the new application's start is being confirmed.
struct Installing {
    std::string status;
};

// Installed and confirmed.
struct Complete {};

// The run ended with an error; the message is shown as written.
struct Failed {
    std::string message;
};

// The run was stopped by the user, by declining another install location, or by a
// cancelled transfer.
struct Cancelled {};

// The state of a run as the card shows it. A plain value: copied on assignment and
// deliberately without equality, since nothing decides by comparing two phases.
using InstallerPhase =
    std::variant<Ready, Checking, Downloading, Verifying, Installing, Complete, Failed, Cancelled>;

} // namespace installer::ui
