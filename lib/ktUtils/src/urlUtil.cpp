#include "ktUtils/urlUtil.h"

#include "ktLog/ktLog.h"

#include <jwt.h>

#include <cstdlib>
#include <memory>

static const char* const kLogModule = "ktUtils";

namespace {

struct JwtDeleter {
    void operator()(jwt_t* jwt) const { jwt_free(jwt); }
};

struct CStringDeleter {
    void operator()(char* text) const { std::free(text); }
};

} // namespace

bool ktGetHostNameFromUrl(const std::string& url, std::string& host)
{
    std::string rest = url;
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        rest.erase(0, scheme + 3);
    }
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        rest.erase(slash);
    }
    const std::size_t bracket = rest.rfind(']');
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        rest.erase(colon);
    }
    if (rest.empty()) {
        return false;
    }
    host = rest;
    return true;
}

std::string urlEncode(const std::string& value)
{
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

std::string makeAuthToken(const std::string& userKey, const std::string& orgKey)
{
    jwt_t* raw = nullptr;
    if (jwt_new(&raw) != 0 || raw == nullptr) {
        KTLOG(KT_LOG_ERROR, "failed to create the auth token");
        return std::string();
    }
    std::unique_ptr<jwt_t, JwtDeleter> jwt(raw);
    // The "none" algorithm writes the header {"alg":"none"} and an empty signature.
    if (jwt_add_grant(jwt.get(), "userkey", userKey.c_str()) != 0 ||
        jwt_add_grant(jwt.get(), "orgkey", orgKey.c_str()) != 0 ||
        jwt_set_alg(jwt.get(), JWT_ALG_NONE, nullptr, 0) != 0) {
        KTLOG(KT_LOG_ERROR, "failed to fill the auth token");
        return std::string();
    }
    std::unique_ptr<char, CStringDeleter> token(jwt_encode_str(jwt.get()));
    if (!token) {
        KTLOG(KT_LOG_ERROR, "failed to encode the auth token");
        return std::string();
    }
    return std::string(token.get());
}

std::string setAuthHeader(const std::string& userKey, const std::string& orgKey)
{
    KTLOG(KT_LOG_DEBUG, "setting auth header");
    return "Authorization: Bearer " + makeAuthToken(userKey, orgKey);
}
