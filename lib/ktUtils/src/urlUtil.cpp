#include "ktUtils/urlUtil.h"

#include "ktLog/ktLog.h"
#include "ktLog/peerText.h"

#include <jwt.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

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
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        rest.erase(0, at + 1);
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

namespace {

// One URL or proxy without its user information: the part of the authority up to its last
// '@'. The authority starts after "scheme://" (or at the start) and ends at '/', '?' or '#'.
std::string entryWithoutUserInfo(const std::string& entry)
{
    std::size_t start = 0;
    const std::size_t scheme = entry.find("://");
    if (scheme != std::string::npos) {
        start = scheme + 3;
    } else {
        // A proxy setting's "scheme=" prefix.
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos && equals < entry.find_first_of(":/@")) {
            start = equals + 1;
        }
    }
    const std::size_t end = std::min(entry.find_first_of("/?#", start), entry.size());
    const std::size_t at = entry.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start || at >= end) {
        return entry;
    }
    return entry.substr(0, start) + entry.substr(at + 1);
}

// True when piece starts an entry of its own: "scheme://" or a "scheme=" prefix.
bool startsEntry(const std::string& piece)
{
    const std::size_t equals = piece.find('=');
    return piece.find("://") != std::string::npos ||
           (equals != std::string::npos && equals < piece.find_first_of(":/@"));
}

} // namespace

std::string withoutUserInfo(const std::string& text)
{
    std::vector<std::string> pieces;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t end = text.find(';', pos);
        pieces.push_back(text.substr(pos, end == std::string::npos ? end : end - pos));
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            out += ';';
        }
        std::string entry = pieces[i];
        // A ';' inside a password: the pieces up to its '@' are one entry, so no part of the
        // password is taken for an entry of its own.
        while (entry.find('@') == std::string::npos && i + 1 < pieces.size() &&
               pieces[i + 1].find('@') != std::string::npos && !startsEntry(pieces[i + 1])) {
            entry += ";" + pieces[++i];
        }
        out += entryWithoutUserInfo(entry);
    }
    return out;
}

std::string proxyForLog(const std::string& text)
{
    return escapeControlChars(withoutUserInfo(text));
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
