#include "hosts/test_ca.h"

#include "support/process.h"

#include <stdexcept>

namespace installer::testing {

TestCA makeTestCA(const std::filesystem::path& folder) {
    const auto made = runProcess({MAKE_CA_SCRIPT, folder.string()});
    if (made.status != 0)
        throw std::runtime_error("make-ca failed: " + made.err);
    return {folder / "ca.pem", folder / "server.pem", folder / "server.key"};
}

} // namespace installer::testing
