#pragma once

#include "hosts/test_ca.h"
#include "release_service.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace installer::testing {

// The release service run in-process on a free loopback port with the server
// certificate of a test CA, signing with `signer`'s key under its key id. Its release
// folder and control file live in a folder of its own; it stops when destroyed.
class ReleaseServiceHost {
public:
    ReleaseServiceHost(const TestCA& ca, const Signer& signer);

    // "https://localhost:PORT", the apiOrigin of settings that talk to this host.
    std::string origin() const;

    // Offers a release, before the service is asked: the manifest as given, less its
    // issuedAt and expiresAt (the service stamps fresh ones).
    void addRelease(nlohmann::ordered_json manifest);

private:
    TempDir dir_;
    std::unique_ptr<service::ReleaseServer> server_;
};

} // namespace installer::testing
