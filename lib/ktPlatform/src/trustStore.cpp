#include "ktPlatform/trustStore.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <mutex>

namespace ktPlatform {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parseDer(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    // Trailing bytes mean the input was not one certificate.
    if (cert != nullptr && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
        X509_free(cert);
        return nullptr;
    }
    return X509Ptr(cert);
}

// Loaded once and never freed: X509_STORE is safe for concurrent verification.
X509_STORE* machineRoots(unsigned long& error)
{
    static std::once_flag once;
    static X509_STORE* store = nullptr;
    static unsigned long loadError = 0;
    std::call_once(once, [] {
        // The default file and folder of certificates (SSL_CERT_FILE and SSL_CERT_DIR when
        // set), as TLS clients read them; not the default store-URI lookup as well, which
        // would list the folder again on every issuer it cannot find in the cache.
        X509_STORE* s = X509_STORE_new();
        X509_LOOKUP* file = s != nullptr ? X509_STORE_add_lookup(s, X509_LOOKUP_file()) : nullptr;
        X509_LOOKUP* folder =
            s != nullptr ? X509_STORE_add_lookup(s, X509_LOOKUP_hash_dir()) : nullptr;
        if (file == nullptr || folder == nullptr) {
            loadError = ERR_get_error();
            X509_STORE_free(s);
            return;
        }
        X509_LOOKUP_load_file(file, nullptr, X509_FILETYPE_DEFAULT);
        X509_LOOKUP_add_dir(folder, nullptr, X509_FILETYPE_DEFAULT);
        ERR_clear_error();
        store = s;
    });
    error = loadError;
    return store;
}

} // namespace

X509_STORE* machineTrustStore()
{
    unsigned long error = 0;
    return machineRoots(error);
}

CertChainStatus getCertificateChain(const std::string& der,
                                    const std::vector<std::string>& untrustedDer,
                                    CertChainResult& result)
{
    result = CertChainResult{};
    ERR_clear_error();
    X509Ptr cert = parseDer(der);
    if (!cert) {
        result.lastError = ERR_get_error();
        return CertChainStatus::badCertificate;
    }
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    if (!untrusted) {
        result.lastError = ERR_get_error();
        return CertChainStatus::noChain;
    }
    for (const std::string& item : untrustedDer) {
        X509Ptr extra = parseDer(item);
        if (extra && sk_X509_push(untrusted.get(), extra.get()) > 0) {
            extra.release();
        }
    }
    X509_STORE* store = machineRoots(result.lastError);
    if (store == nullptr) {
        return CertChainStatus::noChain;
    }
    // The store loads certificates from its folders on demand, and OpenSSL's folder lookup
    // is not free of races between concurrent verifications (proxy probes run at once):
    // one verification at a time.
    static std::mutex verifyMutex;
    std::lock_guard<std::mutex> lock(verifyMutex);
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store, cert.get(), untrusted.get()) != 1) {
        result.lastError = ERR_get_error();
        return CertChainStatus::noChain;
    }
    if (X509_verify_cert(ctx.get()) != 1) {
        result.trustErrorStatus = X509_STORE_CTX_get_error(ctx.get());
        if (result.trustErrorStatus == X509_V_OK) {
            // A failure without a verification error (an internal one) is still untrusted.
            result.trustErrorStatus = X509_V_ERR_UNSPECIFIED;
        }
    }
    return CertChainStatus::built;
}

} // namespace ktPlatform
