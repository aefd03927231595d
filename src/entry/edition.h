#pragma once

#include <string_view>

namespace installer::entry {

// What one build of the installer has compiled in: its settings text and where the
// system's tools and Applications folder are.
struct Edition {
    std::string_view settingsText;
    std::string_view toolDir;
    std::string_view systemApplicationsDir;
    std::string_view caBundle;  // extra trusted CA file; empty outside test editions
};

} // namespace installer::entry
