#pragma once
// Stands for the Windows certificate chain engine (CertCreateCertificateContext and
// CertGetCertificateChain with the default engine): the machine's trusted roots are an
// OpenSSL store loaded once, on first use, from the default paths (SSL_CERT_FILE and
// SSL_CERT_DIR when set). Safe from any thread.

#include <string>
#include <vector>

typedef struct x509_store_st X509_STORE;

namespace ktPlatform {

enum class CertChainStatus {
    built,          // a chain was checked; its trust error status says whether it is trusted
    badCertificate, // the DER bytes are not a certificate (CertCreateCertificateContext fails)
    noChain,        // the trusted roots could not be loaded (CertGetCertificateChain fails)
};

struct CertChainResult {
    // Zero when trusted, else the OpenSSL verification error of the chain.
    int trustErrorStatus = 0;
    // The OpenSSL error code of a failed step (GetLastError of the Windows calls).
    unsigned long lastError = 0;
};

// Builds the chain of the DER certificate up to a trusted root at the current time, for no
// particular usage; untrustedDer holds further certificates (the peer's chain) that may serve
// as intermediates but are not trusted themselves.
CertChainStatus getCertificateChain(const std::string& der,
                                    const std::vector<std::string>& untrustedDer,
                                    CertChainResult& result);

// The same machine roots for a TLS context's own verification: the one store, loaded once,
// which the caller shares (SSL_CTX_set1_cert_store takes its own reference). Null when the
// roots cannot be loaded. Verifications that share it may run on several threads at once.
X509_STORE* machineTrustStore();

} // namespace ktPlatform
