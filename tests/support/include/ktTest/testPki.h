#pragma once
// Certificates made at test time with OpenSSL: a root CA, an intermediate CA under it, and
// server certificates of several kinds, issued by either.

#include "ktTest/tempTree.h"

#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace ktTest {

enum class CertKind {
    good,       // from the intermediate; 127.0.0.1 and localhost; valid now
    wrongHost,  // from the intermediate; only the name wrong.example.invalid
    expired,    // from the intermediate; 127.0.0.1; validity ended yesterday
    selfSigned, // its own issuer; 127.0.0.1
    rootIssued, // issued directly by the root, sent alone; 127.0.0.1 and localhost
    // as good, but sent without the intermediate, which no store holds
    missingIntermediate,
    // issued by a leaf (CA:FALSE) of the intermediate; sent with that leaf and the intermediate
    notCaIssued,
};

struct ServerCredentials {
    std::string chainPem; // leaf first, then the certificates the server sends with it
    std::string keyPem;
};

struct X509Deleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

class TestPki {
public:
    // Made on first call, once per process, in a temporary folder. Points SSL_CERT_FILE at
    // the root CA and SSL_CERT_DIR at an empty folder, so the trust store (loaded once)
    // trusts that root alone: call it before the first request of the process.
    static const TestPki& instance();

    const std::string& caFile() const { return m_caFile; }
    const std::string& caPem() const { return m_caPem; }
    const ServerCredentials& server(CertKind kind) const;

    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

private:
    TestPki();
    TempDir m_folder;
    std::string m_caFile;
    std::string m_caPem;
    std::vector<ServerCredentials> m_servers; // indexed by CertKind
};

// Every certificate of a PEM text, in order.
std::vector<X509Ptr> parseCertificates(const std::string& pem);

} // namespace ktTest
