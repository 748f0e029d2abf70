#include "ktTest/testPki.h"

#include "ktTest/tempTree.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace ktTest {

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

void check(bool ok, const char* what)
{
    if (!ok) {
        throw std::runtime_error(std::string("test PKI: ") + what + " failed");
    }
}

KeyPtr newKey()
{
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "EVP_EC_gen");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "X509V3_EXT_nconf_nid");
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(added == 1, "X509_add_ext");
}

struct CertSpec {
    std::string commonName;
    bool isCa = false;
    std::string subjectAltName; // empty: none
    long notBeforeSeconds = -3600;
    long notAfterSeconds = 30L * 24 * 3600;
};

// issuer/issuerKey null: self-signed with key.
X509Ptr makeCert(const CertSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey)
{
    X509Ptr cert(X509_new());
    check(cert != nullptr, "X509_new");
    check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof(serial)) == 1, "RAND_bytes");
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof(serial), nullptr);
    check(bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr,
          "serial");
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.notBeforeSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.notAfterSeconds);
    check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("ktdiag tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(spec.commonName.c_str()), -1,
                               -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "issuer name");
    addExtension(cert.get(), signer, NID_basic_constraints,
                 spec.isCa ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(cert.get(), signer, NID_key_usage,
                 spec.isCa ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer != nullptr) {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (!spec.isCa) {
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    if (!spec.subjectAltName.empty()) {
        addExtension(cert.get(), signer, NID_subject_alt_name, spec.subjectAltName.c_str());
    }
    check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0,
          "X509_sign");
    return cert;
}

std::string pemOf(X509* cert)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

std::string pemOf(EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio &&
              PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

} // namespace

const TestPki& TestPki::instance()
{
    static const TestPki pki;
    return pki;
}

TestPki::TestPki()
{
    const std::string emptyDir = m_folder.path() + "/certs";
    std::filesystem::create_directories(emptyDir);

    KeyPtr rootKey = newKey();
    X509Ptr root = makeCert({"ktTest Root CA", true, "", -3600, 3650L * 24 * 3600}, rootKey.get(),
                            nullptr, nullptr);
    KeyPtr midKey = newKey();
    X509Ptr mid = makeCert({"ktTest Intermediate CA", true, "", -3600, 365L * 24 * 3600},
                           midKey.get(), root.get(), rootKey.get());
    const std::string midPem = pemOf(mid.get());

    m_servers.resize(7);
    auto issued = [&](CertKind kind, const CertSpec& spec) {
        KeyPtr key = newKey();
        X509Ptr leaf = makeCert(spec, key.get(), mid.get(), midKey.get());
        m_servers[static_cast<size_t>(kind)] = {pemOf(leaf.get()) + midPem, pemOf(key.get())};
    };
    issued(CertKind::good, {"127.0.0.1", false, "IP:127.0.0.1,DNS:localhost"});
    const ServerCredentials& good = m_servers[static_cast<size_t>(CertKind::good)];
    m_servers[static_cast<size_t>(CertKind::missingIntermediate)] = {
        good.chainPem.substr(0, good.chainPem.size() - midPem.size()), good.keyPem};

    KeyPtr rootLeafKey = newKey();
    X509Ptr rootLeaf = makeCert({"127.0.0.1", false, "IP:127.0.0.1,DNS:localhost"},
                                rootLeafKey.get(), root.get(), rootKey.get());
    m_servers[static_cast<size_t>(CertKind::rootIssued)] = {pemOf(rootLeaf.get()),
                                                            pemOf(rootLeafKey.get())};

    KeyPtr signerKey = newKey();
    X509Ptr signer = makeCert({"ktTest Leaf Signer", false, "DNS:signer.example.invalid"},
                              signerKey.get(), mid.get(), midKey.get());
    KeyPtr underLeafKey = newKey();
    X509Ptr underLeaf = makeCert({"127.0.0.1", false, "IP:127.0.0.1,DNS:localhost"},
                                 underLeafKey.get(), signer.get(), signerKey.get());
    m_servers[static_cast<size_t>(CertKind::notCaIssued)] = {
        pemOf(underLeaf.get()) + pemOf(signer.get()) + midPem, pemOf(underLeafKey.get())};

    issued(CertKind::wrongHost, {"wrong.example.invalid", false, "DNS:wrong.example.invalid"});
    issued(CertKind::expired,
           {"127.0.0.1", false, "IP:127.0.0.1,DNS:localhost", -2L * 24 * 3600, -24L * 3600});
    KeyPtr selfKey = newKey();
    X509Ptr self = makeCert({"127.0.0.1", false, "IP:127.0.0.1,DNS:localhost"}, selfKey.get(),
                            nullptr, nullptr);
    m_servers[static_cast<size_t>(CertKind::selfSigned)] = {pemOf(self.get()),
                                                            pemOf(selfKey.get())};

    m_caPem = pemOf(root.get());
    m_caFile = m_folder.path() + "/ca.pem";
    writeAll(m_caFile, m_caPem);
    ::setenv("SSL_CERT_FILE", m_caFile.c_str(), 1);
    ::setenv("SSL_CERT_DIR", emptyDir.c_str(), 1);
}

const ServerCredentials& TestPki::server(CertKind kind) const
{
    return m_servers.at(static_cast<size_t>(kind));
}

std::vector<X509Ptr> parseCertificates(const std::string& pem)
{
    std::vector<X509Ptr> certs;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    while (bio) {
        X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (cert == nullptr) {
            break;
        }
        certs.emplace_back(cert);
    }
    return certs;
}

} // namespace ktTest
