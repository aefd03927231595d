#pragma once

#include "app/install_services.h"
#include "platform/system.h"
#include "release/settings.h"

#include <filesystem>
#include <string>
#include <vector>

namespace installer::app {

// The machine paths and transport of one edition's graphical installer.
struct GraphicalOptions {
    std::string toolDir;
    std::filesystem::path systemApplications;
    TransportOptions transport;
};

// Shows the installer window and runs the event loop until the window closes or the
// application quits.
void runGraphicalInstaller(const std::vector<std::string>& arguments, release::Settings config,
                           GraphicalOptions options, const platform::System& system,
                           const platform::EventLog& log);

} // namespace installer::app
