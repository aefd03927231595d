#pragma once

#include "platform/event_log.h"
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

// The release a manifest names, as support needs it: its id, version and build, and
// where its package comes from, with the package's size and digest. Never the manifest.
void logRelease(const platform::EventLog& log, std::string_view source,
                const release::Manifest& manifest);

} // namespace installer::trust
