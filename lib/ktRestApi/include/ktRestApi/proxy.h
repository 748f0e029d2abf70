#pragma once
// The proxies the signed-in user's system settings prescribe for a URL: automatic
// detection or a PAC script (downloaded, or a local file evaluated by the PAC program
// beside the tool), else the static setting, preferring its "https=" entry. Runs on the
// caller's thread; retries block it for up to 6 s of sleeps plus the download time-outs.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Empties proxies and fills it with the detected proxies in order, each host:port (":80"
// added where no port was given). pacHost gets the host of the PAC URL when the PAC script
// was evaluated for url. True when the user's settings name automatic detection, a PAC URL
// or a static proxy, whether or not a proxy was found; false when they name none or cannot
// be read. Acts as the active session's user for the whole call; an impersonation the
// caller holds is in force again afterwards.
bool detectProxy(const std::string& url, std::vector<std::string>& proxies, std::string& pacHost);

// Evaluates a "file://" PAC URL for url with the PAC program, whose output goes to a
// private temporary folder of this call (removed afterwards), and appends the proxies it
// names to proxies. True when the program ended with exit code 0 and its output was read,
// even with no proxy in it. The answer never passes through the shared public folder.
bool detectProxyFromLocalPac(const std::wstring& pacUrl, const std::string& url,
                             std::vector<std::string>& proxies);

// Stands for a WinHTTP session with its time-outs (WinHttpOpen, WinHttpSetTimeouts).
struct ProxySession {
    std::wstring agent;
    int resolveTimeoutMs = 0;
    int connectTimeoutMs = 0;
    int sendTimeoutMs = 0;
    int receiveTimeoutMs = 0;
};

// Stands for WINHTTP_AUTOPROXY_OPTIONS.
constexpr std::uint32_t kAutoProxyAutoDetect = 1; // WINHTTP_AUTOPROXY_AUTO_DETECT
constexpr std::uint32_t kAutoProxyConfigUrl = 2;  // WINHTTP_AUTOPROXY_CONFIG_URL
constexpr std::uint32_t kAutoDetectDhcp = 1;      // WINHTTP_AUTO_DETECT_TYPE_DHCP
constexpr std::uint32_t kAutoDetectDnsA = 2;      // WINHTTP_AUTO_DETECT_TYPE_DNS_A
struct AutoProxyOptions {
    std::uint32_t flags = 0;
    std::uint32_t autoDetectFlags = 0;
    std::wstring autoConfigUrl;
    bool autoLogonIfChallenged = false;
};

// Stands for WinHttpGetProxyForUrl: 0 with proxy set to the proxies for url separated by
// ';' (empty: go direct), else a WinHTTP error code (ktPlatform/proxySettings.h). A PAC
// URL over http or https is downloaded without any proxy (at most 1 MiB, within the
// session's receive time-out, 30 s when it has none) and evaluated by the PAC program;
// any other PAC URL gives 12006. Automatic detection alone gives 1168: no WPAD location
// is configured here.
std::uint32_t getProxyForUrl(const ProxySession& session, const std::wstring& url,
                             const AutoProxyOptions& options, std::wstring& proxy);

// Test seams: the look-up detectProxy calls and the sleep between its attempts. An empty
// function restores getProxyForUrl or the real sleep.
using ProxyForUrlFunction = std::function<std::uint32_t(
    const ProxySession&, const std::wstring& url, const AutoProxyOptions&, std::wstring& proxy)>;
void setProxyForUrlFunction(ProxyForUrlFunction function);
void setProxyRetrySleep(std::function<void(std::uint32_t milliseconds)> sleep);
