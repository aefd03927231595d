#pragma once

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace installer::service {

// How the next answers depart from what the service would normally say, so that every
// outcome of the installer's two requests can be reached. Read from a JSON object whose
// members are all optional:
//
//   "only"            "resolve" or "manifest": the other endpoint answers normally
//   "status"          HTTP status (the body stays what it would have been)
//   "code"            the answer's code, any JSON value ("0" as a string, say)
//   "updateAvailable" data.updateAvailable, any JSON value
//   "reason"          data.reason, any JSON value (null included)
//   "manifest"        false leaves data.manifest out; null sends it as null
//   "body"            a text sent instead of the answer, exactly as given
//   "bodyBytes"       the answer padded with blanks (or cut) to exactly this many bytes
//   "release"         resolve offers this release id, whatever the query says
//   "patch"           a JSON merge patch applied to the manifest before it is signed
//                     (after issuedAt and expiresAt are set, so those can be patched too)
//   "recheck"         package members that manifest answers change, e.g. {"artifactId": "x"}
//   "issuedIn"        issuedAt is this many seconds from now (default 0)
//   "expiresIn"       expiresAt is this many seconds from now (default: the validity)
//   "keyId"           the key id the envelope names (still signed with the service's key)
//   "badSignature"    true sends a signature that does not match the payload
//   "delayMs"         the answer is held this long (cut short when the service stops)
//
// An unknown member is an error, so a misspelt steering never passes silently.
struct Steering {
    enum class Endpoint { resolve, manifest };

    std::optional<Endpoint> only;
    std::optional<int> status;
    std::optional<nlohmann::ordered_json> code;
    std::optional<nlohmann::ordered_json> updateAvailable;
    std::optional<nlohmann::ordered_json> reason;
    std::optional<nlohmann::ordered_json> manifest; // false or null
    std::optional<std::string> body;
    std::optional<std::size_t> bodyBytes;
    std::optional<std::string> release;
    nlohmann::ordered_json patch;   // null: none
    nlohmann::ordered_json recheck; // null: none
    std::optional<std::chrono::seconds> issuedIn;
    std::optional<std::chrono::seconds> expiresIn;
    std::optional<std::string> keyId;
    bool badSignature = false;
    std::chrono::milliseconds delay{0};

    // Whether it bends answers of this endpoint at all.
    bool appliesTo(Endpoint endpoint) const { return !only || *only == endpoint; }
};

// Throws std::invalid_argument naming the member that is wrong.
Steering decodeSteering(std::string_view json);

} // namespace installer::service
