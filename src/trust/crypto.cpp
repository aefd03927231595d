#include "trust/crypto.h"

#include <openssl/evp.h>

namespace installer::trust {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using MdContextPtr = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

} // namespace

struct Ed25519PublicKey::Key {
    std::unique_ptr<EVP_PKEY, KeyFree> pkey;
};

Ed25519PublicKey::Ed25519PublicKey(std::string_view raw) : key_(std::make_unique<Key>()) {
    if (raw.size() != 32)
        throw CryptoError("无法创建 Ed25519 公钥：密钥应为 32 字节，实际为 " +
                          std::to_string(raw.size()) + " 字节");
    key_->pkey.reset(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(raw.data()), raw.size()));
    if (!key_->pkey)
        throw CryptoError("无法创建 Ed25519 公钥：密钥数据无效");
}

Ed25519PublicKey::~Ed25519PublicKey() = default;
Ed25519PublicKey::Ed25519PublicKey(Ed25519PublicKey&&) noexcept = default;
Ed25519PublicKey& Ed25519PublicKey::operator=(Ed25519PublicKey&&) noexcept = default;

bool Ed25519PublicKey::isValidSignature(std::string_view signature,
                                        std::string_view message) const {
    MdContextPtr context(EVP_MD_CTX_new());
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key_->pkey.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

struct Sha256::Context {
    MdContextPtr md{EVP_MD_CTX_new()};
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (!context_->md || EVP_DigestInit_ex(context_->md.get(), EVP_sha256(), nullptr) != 1)
        throw CryptoError("无法计算 SHA-256：加密库初始化失败");
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    EVP_DigestUpdate(context_->md.get(), data, size);
}

std::array<unsigned char, 32> Sha256::finish() {
    std::array<unsigned char, 32> digest{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_->md.get(), digest.data(), &size);
    return digest;
}

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        text.push_back(digits[value >> 4]);
        text.push_back(digits[value & 0x0F]);
    }
    return text;
}

} // namespace installer::trust
