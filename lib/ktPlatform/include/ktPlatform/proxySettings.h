#pragma once
// The user's Internet proxy settings and the codes of the proxy-for-URL look-up.
//
// The settings of the calling thread's user (the impersonated user's while impersonating)
// live in a small JSON file, all members optional:
//   <home>/.config/kestrani/proxy-settings.json   (KTDIAG_PROXY_SETTINGS_FILE instead)
//   { "autoDetect": "true", "autoConfigUrl": "http://wpad.corp/proxy.pac",
//     "proxy": "http=p1:8080;https=p2:3128", "proxyBypass": "<local>" }
// Booleans accept "true", "false", "1" and "0" (JSON strings or literals).

#include <cstdint>
#include <string>

namespace ktPlatform {

// Result codes of the proxy-for-URL look-up (the WinHTTP and Win32 values).
constexpr std::uint32_t kErrorNotFound = 1168;                  // ERROR_NOT_FOUND
constexpr std::uint32_t kWinHttpUnrecognizedScheme = 12006;     // script URL not http(s)
constexpr std::uint32_t kWinHttpBadAutoProxyScript = 12166;     // script did not evaluate
constexpr std::uint32_t kWinHttpUnableToDownloadScript = 12167; // script download failed
constexpr std::uint32_t kWinHttpAutodetectionFailed = 12180;    // no WPAD found

// Stands for WINHTTP_CURRENT_USER_IE_PROXY_CONFIG; an empty text means the value is unset.
struct UserProxyConfig {
    bool autoDetect = false;
    std::wstring autoConfigUrl; // PAC URL
    std::wstring proxy;         // static proxy text
    std::wstring proxyBypass;
};

// Stands for WinHttpGetIEProxyConfigForCurrentUser: reads the settings file above; a
// missing file is a user without settings. When the file names no static proxy, the
// environment's https_proxy (else HTTPS_PROXY) is the static proxy, reduced to its scheme,
// user information, host and port: the path is dropped, the credentials are kept for the
// proxy (and must never be logged). False with errno set (EINVAL for a file that is not of
// this form, EFBIG above 64 KiB) otherwise.
bool userProxyConfig(UserProxyConfig& config);

} // namespace ktPlatform
