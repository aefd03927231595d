#include "hosts/test_ca.h"

#include <arpa/inet.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace installer::testing {

namespace {

namespace fs = std::filesystem;

struct OpenSslFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* cert) const { X509_free(cert); }
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(BIGNUM* number) const { BN_free(number); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using CertPtr = std::unique_ptr<X509, OpenSslFree>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree>;

[[noreturn]] void fail(const std::string& what) {
    char detail[256] = "";
    ERR_error_string_n(ERR_get_error(), detail, sizeof detail);
    ERR_clear_error();
    throw std::runtime_error("test certificate: " + what + " (" + detail + ")");
}

KeyPtr newKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        fail("cannot generate a P-256 key");
    return key;
}

bool isAddress(const std::string& name) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

std::string altNames(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& name : names) {
        if (!list.empty())
            list += ',';
        list += isAddress(name) ? "IP:" : "DNS:";
        list += name;
    }
    return list;
}

// `issuer` is null for a certificate that signs itself; the extension context then
// takes the certificate as its own issuer, which the key identifiers need.
void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, OpenSslFree> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || X509_add_ext(cert, extension.get(), -1) != 1)
        fail("cannot add the extension " + value);
}

// Random serials keep certificates of different runs apart in any client cache.
void setRandomSerial(X509* cert) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        fail("no random serial");
    bytes[0] &= 0x7f;
    std::unique_ptr<BIGNUM, OpenSslFree> serial(BN_bin2bn(bytes, sizeof bytes, nullptr));
    if (!serial || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)))
        fail("cannot set the serial");
}

CertPtr newCertificate(const std::string& commonName, EVP_PKEY* key, X509* issuer) {
    CertPtr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1)
        fail("cannot make a certificate");
    setRandomSerial(cert.get());
    // An hour of slack before now keeps a client with a slightly different clock content.
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2 * 86400);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject) != 1 ||
        X509_set_pubkey(cert.get(), key) != 1)
        fail("cannot name the certificate " + commonName);
    return cert;
}

void signCertificate(X509* cert, EVP_PKEY* signerKey) {
    if (X509_sign(cert, signerKey, EVP_sha256()) <= 0)
        fail("cannot sign the certificate");
}

CertPtr serverCertificate(const std::vector<std::string>& names, EVP_PKEY* key, X509* issuer,
                          EVP_PKEY* issuerKey) {
    if (names.empty())
        throw std::invalid_argument("a server certificate needs at least one name");
    CertPtr cert = newCertificate(names.front(), key, issuer);
    addExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
    addExtension(cert.get(), issuer, NID_subject_alt_name, altNames(names));
    signCertificate(cert.get(), issuer ? issuerKey : key);
    return cert;
}

BioPtr openFile(const fs::path& path, const char* mode) {
    BioPtr bio(BIO_new_file(path.c_str(), mode));
    if (!bio)
        fail("cannot open " + path.string());
    return bio;
}

void writeCertificate(const fs::path& path, X509* cert) {
    if (PEM_write_bio_X509(openFile(path, "w").get(), cert) != 1)
        fail("cannot write " + path.string());
}

void writeKey(const fs::path& path, EVP_PKEY* key) {
    if (PEM_write_bio_PrivateKey(openFile(path, "w").get(), key, nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1)
        fail("cannot write " + path.string());
}

CertPtr readCertificate(const fs::path& path) {
    CertPtr cert(PEM_read_bio_X509(openFile(path, "r").get(), nullptr, nullptr, nullptr));
    if (!cert)
        fail("cannot read " + path.string());
    return cert;
}

KeyPtr readKey(const fs::path& path) {
    KeyPtr key(PEM_read_bio_PrivateKey(openFile(path, "r").get(), nullptr, nullptr, nullptr));
    if (!key)
        fail("cannot read " + path.string());
    return key;
}

Certificate writeServer(const fs::path& folder, std::string_view stem, X509* cert, EVP_PKEY* key) {
    Certificate files{folder / (std::string(stem) + ".pem"), folder / (std::string(stem) + ".key")};
    writeCertificate(files.certFile, cert);
    writeKey(files.keyFile, key);
    return files;
}

} // namespace

TestCA makeTestCA(const fs::path& folder, const std::vector<std::string>& names) {
    fs::create_directories(folder);
    const KeyPtr caKey = newKey();
    const CertPtr ca = newCertificate("Tavelo Test CA", caKey.get(), nullptr);
    addExtension(ca.get(), nullptr, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(ca.get(), nullptr, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca.get(), nullptr, NID_subject_key_identifier, "hash");
    signCertificate(ca.get(), caKey.get());

    TestCA result;
    result.caFile = folder / "ca.pem";
    result.caKeyFile = folder / "ca.key";
    writeCertificate(result.caFile, ca.get());
    writeKey(result.caKeyFile, caKey.get());

    const KeyPtr key = newKey();
    const CertPtr server = serverCertificate(names, key.get(), ca.get(), caKey.get());
    const Certificate files = writeServer(folder, "server", server.get(), key.get());
    result.certFile = files.certFile;
    result.keyFile = files.keyFile;
    return result;
}

Certificate issueCertificate(const TestCA& ca, std::string_view stem,
                             const std::vector<std::string>& names) {
    const CertPtr authority = readCertificate(ca.caFile);
    const KeyPtr authorityKey = readKey(ca.caKeyFile);
    const KeyPtr key = newKey();
    const CertPtr cert = serverCertificate(names, key.get(), authority.get(), authorityKey.get());
    return writeServer(ca.caFile.parent_path(), stem, cert.get(), key.get());
}

Certificate makeSelfSigned(const fs::path& folder, const std::vector<std::string>& names) {
    fs::create_directories(folder);
    const KeyPtr key = newKey();
    const CertPtr cert = serverCertificate(names, key.get(), nullptr, nullptr);
    return writeServer(folder, "self-signed", cert.get(), key.get());
}

} // namespace installer::testing
