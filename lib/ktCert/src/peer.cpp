#include "ktCert/peer.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/trustStore.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <string>
#include <vector>

static const char* const kLogModule = "peer";

namespace {

// The DER bytes of cert; false with the OpenSSL error code when it cannot be encoded.
bool derOf(X509* cert, std::string& der, unsigned long& error)
{
    unsigned char* buffer = nullptr;
    const int length = i2d_X509(cert, &buffer);
    if (length < 0) {
        error = ERR_get_error();
        return false;
    }
    der.assign(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
    OPENSSL_free(buffer);
    return true;
}

} // namespace

bool verifyPeerCertificate(X509* cert, STACK_OF(X509) * peerChain)
{
    if (cert == nullptr) {
        KTLOG(KT_LOG_ERROR, "invalid params");
        return false;
    }
    std::string der;
    unsigned long error = 0;
    if (!derOf(cert, der, error)) {
        char text[2048] = {};
        ERR_error_string_n(error, text, sizeof(text));
        KTLOG(KT_LOG_ERROR, "i2d_X509 failed, err: %d, errStr: %s", static_cast<int>(error), text);
        return false;
    }
    std::vector<std::string> chain;
    const int count = peerChain != nullptr ? sk_X509_num(peerChain) : 0;
    for (int i = 0; i < count; ++i) {
        std::string item;
        unsigned long ignored = 0;
        if (derOf(sk_X509_value(peerChain, i), item, ignored)) {
            chain.push_back(std::move(item));
        }
    }

    ktPlatform::CertChainResult result;
    switch (ktPlatform::getCertificateChain(der, chain, result)) {
    case ktPlatform::CertChainStatus::badCertificate:
        KTLOG(KT_LOG_ERROR, "CertCreateCertificateContext failed, %x",
              static_cast<unsigned>(result.lastError));
        return false;
    case ktPlatform::CertChainStatus::noChain:
        KTLOG(KT_LOG_ERROR, "CertGetCertificateChain failed, err: %x ",
              static_cast<unsigned>(result.lastError));
        return false;
    case ktPlatform::CertChainStatus::built:
        break;
    }
    if (result.trustErrorStatus != 0) {
        KTLOG(KT_LOG_ERROR, "Trusted CA not found, error: 0x%x",
              static_cast<unsigned>(result.trustErrorStatus));
        return false;
    }
    KTLOG(KT_LOG_DEBUG, "Found trusted CA, infoStatus: 0x%x", 0u);
    return true;
}
