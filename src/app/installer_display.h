#pragma once

#include "ui/installer_phase.h"

#include <stop_token>

namespace installer::app {

// The window as the delegate sees it. Main thread only; the Qt window implements it,
// and the delegate's tests record what it was asked to show.
class InstallerDisplay {
public:
    virtual ~InstallerDisplay() = default;
    // Shows the phase on the card (which enables its action button again) and fits the
    // window to it.
    virtual void render(const ui::InstallerPhase& phase) = 0;
    // The phase the card shows now.
    virtual const ui::InstallerPhase& phase() const = 0;
    virtual void disableAction() = 0;
    // Closes the window without asking the delegate; the application quits after it.
    virtual void closeWindow() = 0;
    // The modal question asked when the system Applications folder is not writable;
    // true when the user chose to install into their own Applications folder. A stop
    // of the run (a quit or close request meanwhile) answers it as "取消".
    virtual bool confirmUserApplications(std::stop_token stop) = 0;
};

} // namespace installer::app
