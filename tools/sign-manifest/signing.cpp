#include "signing.h"

#include "trust/base64url.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace installer::signing {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

KeyPtr readPrivateKey(std::string_view pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        throw SigningError("not an Ed25519 private key in PEM form");
    return key;
}

std::string rawPublicKey(EVP_PKEY* key) {
    std::string raw(32, '\0');
    std::size_t size = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
        size != 32)
        throw SigningError("cannot read the public key");
    return trust::encode64(raw);
}

} // namespace

KeyPair generateKeyPair() {
    std::unique_ptr<EVP_PKEY_CTX, ContextFree> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &raw) != 1)
        throw SigningError("cannot generate an Ed25519 key");
    KeyPtr key(raw);
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1)
        throw SigningError("cannot write the private key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return {std::string(data, static_cast<std::size_t>(size)), rawPublicKey(key.get())};
}

std::string publicKeyOf(std::string_view privateKeyPem) {
    return rawPublicKey(readPrivateKey(privateKeyPem).get());
}

std::string sign(std::string_view privateKeyPem, std::string_view message) {
    const KeyPtr key = readPrivateKey(privateKeyPem);
    std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
    std::string signature(64, '\0');
    std::size_t size = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1)
        throw SigningError("cannot sign");
    signature.resize(size);
    return signature;
}

std::string makeEnvelope(std::string_view manifest, std::string_view privateKeyPem,
                         std::string_view keyId) {
    nlohmann::ordered_json envelope;
    envelope["keyId"] = std::string(keyId);
    envelope["payloadBase64url"] = trust::encode64(manifest);
    envelope["signature"] = trust::encode64(sign(privateKeyPem, manifest));
    return envelope.dump() + "\n";
}

} // namespace installer::signing
