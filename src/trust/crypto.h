#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace installer::trust {

// The cryptographic library refused a key.
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An Ed25519 (RFC 8032) public key.
class Ed25519PublicKey {
public:
    // From the raw 32-byte form; throws CryptoError for bytes that cannot be a key.
    explicit Ed25519PublicKey(std::string_view raw);
    ~Ed25519PublicKey();
    Ed25519PublicKey(Ed25519PublicKey&&) noexcept;
    Ed25519PublicKey& operator=(Ed25519PublicKey&&) noexcept;

    bool isValidSignature(std::string_view signature, std::string_view message) const;

private:
    struct Key;
    std::unique_ptr<Key> key_;
};

// Incremental SHA-256.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    std::array<unsigned char, 32> finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// Lower-case hexadecimal, two digits per byte.
std::string hex(std::string_view bytes);

} // namespace installer::trust
