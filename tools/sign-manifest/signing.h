#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace installer::signing {

class SigningError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct KeyPair {
    std::string privateKeyPem;  // PKCS #8 PEM
    std::string publicKey;      // raw 32 bytes in unpadded base64url (43 characters)
};

KeyPair generateKeyPair();

// The base64url public key of a PEM private key.
std::string publicKeyOf(std::string_view privateKeyPem);

// The raw 64-byte Ed25519 signature of message.
std::string sign(std::string_view privateKeyPem, std::string_view message);

// A signed-manifest envelope as JSON: the payload is `manifest` exactly as given.
std::string makeEnvelope(std::string_view manifest, std::string_view privateKeyPem,
                         std::string_view keyId);

} // namespace installer::signing
