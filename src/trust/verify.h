#pragma once

#include "platform/system.h"
#include "release/records.h"
#include "release/settings.h"

namespace installer::trust {

// The gate every release passes: the envelope's signature under the built-in key it
// names, then the release policy, the installer's version, the system version and the
// download address, in that order. Returns the manifest as signed; throws the first
// failure. The machine (processor, system version, clock) comes from `system`.
release::Manifest verify(const release::Signed& envelope, const release::Settings& settings,
                         const platform::System& system);

} // namespace installer::trust
