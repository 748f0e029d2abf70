#pragma once
// URL helpers of the REST calls: the host part of a URL and the bearer header.

#include <string>

// The host of url: the text after the first "://" (when there is one), up to the first '/',
// without a trailing ":port" (a bracketed IPv6 literal keeps its brackets). False, host
// untouched, when that leaves nothing.
bool ktGetHostNameFromUrl(const std::string& url, std::string& host);

// value for a URL query: every byte but letters, digits and "-._~" as %XX (upper case).
std::string urlEncode(const std::string& value);

// An unsigned JSON Web Token: header {"alg":"none"}, claims "userkey" and "orgkey" (both
// strings, nothing else), empty signature. Empty, logged, when it cannot be made. The token
// is a secret: never log it.
std::string makeAuthToken(const std::string& userKey, const std::string& orgKey);

// "Authorization: Bearer " followed by makeAuthToken of the two keys.
std::string setAuthHeader(const std::string& userKey, const std::string& orgKey);
