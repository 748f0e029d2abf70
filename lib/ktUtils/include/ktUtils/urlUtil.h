#pragma once
// URL helpers of the REST calls: the host part of a URL and the bearer header.

#include <string>

// The host of url: the text after the first "://" (when there is one), up to the first '/',
// without user information ("user:password@") and without a trailing ":port" (a bracketed
// IPv6 literal keeps its brackets). False, host untouched, when that leaves nothing.
bool ktGetHostNameFromUrl(const std::string& url, std::string& host);

// text, a URL, a proxy (host:port with or without a scheme) or a proxy setting of entries
// separated by ';' ("http=p1:8080;https=user:pw@p2:3128"), without the user information of
// any of them: what a log line may show of a proxy or PAC URL. Everything else stays.
std::string withoutUserInfo(const std::string& text);

// text as a log line shows a proxy, PAC URL or proxy setting: without user information, its
// control characters escaped (it comes from a user's file, a PAC script or a server).
std::string proxyForLog(const std::string& text);

// value for a URL query: every byte but letters, digits and "-._~" as %XX (upper case).
std::string urlEncode(const std::string& value);

// An unsigned JSON Web Token: header {"alg":"none"}, claims "userkey" and "orgkey" (both
// strings, nothing else), empty signature. Empty, logged, when it cannot be made. The token
// is a secret: never log it.
std::string makeAuthToken(const std::string& userKey, const std::string& orgKey);

// "Authorization: Bearer " followed by makeAuthToken of the two keys.
std::string setAuthHeader(const std::string& userKey, const std::string& orgKey);
