#include "ktRestApi/proxy.h"

#include "pacResult.h"

#include "ktLog/ktLog.h"
#include "ktLog/peerText.h"
#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"
#include "ktPlatform/process.h"
#include "ktPlatform/proxySettings.h"
#include "ktPlatform/strings.h"
#include "ktUtils/urlUtil.h"
#include "ktWinUtils/impersonate.h"

#include <chrono>
#include <cwctype>
#include <thread>
#include <utility>

static const char* const kLogModule = "ktUtil";

namespace {

// GetLastError of a missing environment variable (ERROR_ENVVAR_NOT_FOUND).
constexpr int kErrorEnvvarNotFound = 203;
constexpr std::uint32_t kRetrySleepMs = 2000;
// Attempts after the first: 12167 may be retried twice, 12180 once.
constexpr int kMaxRetries = 2;

ProxyForUrlFunction& proxyForUrlFunction()
{
    static ProxyForUrlFunction function;
    return function;
}

std::function<void(std::uint32_t)>& retrySleep()
{
    static std::function<void(std::uint32_t)> sleep;
    return sleep;
}

std::uint32_t lookUpProxy(const ProxySession& session, const std::wstring& url,
                          const AutoProxyOptions& options, std::wstring& proxy)
{
    const ProxyForUrlFunction& function = proxyForUrlFunction();
    return function ? function(session, url, options, proxy)
                    : getProxyForUrl(session, url, options, proxy);
}

void sleepBeforeRetry(std::uint32_t milliseconds)
{
    const std::function<void(std::uint32_t)>& sleep = retrySleep();
    if (sleep) {
        sleep(milliseconds);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

void withDefaultPort(std::string& entry)
{
    if (entry.find(':') == std::string::npos) {
        entry += ":80";
    }
}

// The static setting: its "https=" entry when it names entries per scheme, without a
// scheme prefix; the whole text otherwise.
std::string staticProxy(const std::string& text)
{
    std::string proxy = text;
    if (proxy.find('=') != std::string::npos) {
        const std::string::size_type at = proxy.find("https=");
        if (at == std::string::npos) {
            return std::string();
        }
        const std::string::size_type start = at + 6;
        const std::string::size_type end = proxy.find(';', start);
        proxy = proxy.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    const std::string::size_type scheme = proxy.find("://");
    if (scheme != std::string::npos) {
        proxy.erase(0, scheme + 3);
    }
    return proxy;
}

bool startsWithFileScheme(const std::wstring& url)
{
    static const wchar_t kScheme[] = L"file://";
    if (url.size() < 7) {
        return false;
    }
    for (std::size_t i = 0; i < 7; ++i) {
        if (static_cast<wchar_t>(std::towlower(static_cast<wint_t>(url[i]))) != kScheme[i]) {
            return false;
        }
    }
    return true;
}

// The look-up's WinHTTP session: its agent name and time-outs.
ProxySession lookUpSession()
{
    ProxySession session;
    session.agent = L"Kestrani Client";
    session.resolveTimeoutMs = 10000;
    session.connectTimeoutMs = 60000;
    session.sendTimeoutMs = 30000;
    session.receiveTimeoutMs = 30000;
    return session;
}

// The look-up's options: the PAC URL when one is set, automatic detection through DHCP and
// DNS when it is on.
AutoProxyOptions lookUpOptions(const ktPlatform::UserProxyConfig& config)
{
    AutoProxyOptions options;
    if (!config.autoConfigUrl.empty()) {
        options.flags |= kAutoProxyConfigUrl;
        options.autoConfigUrl = config.autoConfigUrl;
    }
    if (config.autoDetect) {
        options.flags |= kAutoProxyAutoDetect;
        options.autoDetectFlags = kAutoDetectDhcp | kAutoDetectDnsA;
    }
    options.autoLogonIfChallenged = true;
    return options;
}

enum class LookUp {
    answered, // WinHTTP evaluated the settings: proxyText holds its answer (maybe empty)
    localPac, // WinHTTP refused the PAC URL or found nothing for it: the PAC program decides
    failed,   // nothing found; the static setting applies
};

// WinHTTP's look-up of url's proxies; a failed script download is tried again up to twice
// and a failed automatic detection once, each after a pause.
LookUp lookUpWithRetries(const ktPlatform::UserProxyConfig& config, const std::string& url,
                         std::wstring& proxyText)
{
    const ProxySession session = lookUpSession();
    const AutoProxyOptions options = lookUpOptions(config);
    const std::wstring wideUrl = ktPlatform::toWide(url);
    for (int attempt = 0;;) {
        proxyText.clear();
        const std::uint32_t error = lookUpProxy(session, wideUrl, options, proxyText);
        if (error == 0) {
            return LookUp::answered;
        }
        proxyText.clear();
        if ((error == ktPlatform::kWinHttpUnrecognizedScheme ||
             error == ktPlatform::kErrorNotFound) &&
            !config.autoConfigUrl.empty()) {
            return LookUp::localPac;
        }
        KTLOG(KT_LOG_WARNING, "Failed to auto detect proxy or download PAC file, error %d",
              static_cast<int>(error));
        const bool retry = error == ktPlatform::kWinHttpUnableToDownloadScript ||
                           (error == ktPlatform::kWinHttpAutodetectionFailed && attempt == 0);
        if (!retry) {
            return LookUp::failed;
        }
        sleepBeforeRetry(kRetrySleepMs);
        if (++attempt > kMaxRetries) {
            return LookUp::failed;
        }
    }
}

// The PAC URL's host into pacHost, once WinHTTP evaluated the script; no PAC URL: nothing.
void takePacHost(const std::string& pacUrl, std::string& pacHost)
{
    if (!pacUrl.empty() && !ktGetHostNameFromUrl(pacUrl, pacHost)) {
        KTLOG(KT_LOG_ERROR, "ktGetHostNameFromUrl failed to parse url = %s",
              proxyForLog(pacUrl).c_str());
    }
}

// Appends each entry of WinHTTP's ';'-separated answer, ":80" where it names no port.
void appendDetectedProxies(const std::wstring& proxyText, std::vector<std::string>& proxies)
{
    if (proxyText.empty()) {
        return;
    }
    const std::string text = ktPlatform::toNarrow(proxyText);
    KTLOG(KT_LOG_INFO, "Proxies string detected: %s", proxyForLog(text).c_str());
    std::string::size_type pos = 0;
    while (pos <= text.size()) {
        std::string::size_type end = text.find(';', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string piece = text.substr(pos, end - pos);
        pos = end + 1;
        if (piece.empty()) {
            continue;
        }
        withDefaultPort(piece);
        proxies.push_back(piece);
    }
    KTLOG(KT_LOG_DEBUG, "number of proxies detected: %d", static_cast<int>(proxies.size()));
}

// Appends the static setting's proxy (staticProxy), when it names one.
void appendStaticProxy(const std::string& staticText, std::vector<std::string>& proxies)
{
    if (staticText.empty()) {
        return;
    }
    const std::string proxy = staticProxy(staticText);
    if (!proxy.empty()) {
        KTLOG(KT_LOG_INFO, "Using static proxy: %s", proxyForLog(proxy).c_str());
        proxies.push_back(proxy);
    }
}

} // namespace

void setProxyForUrlFunction(ProxyForUrlFunction function)
{
    proxyForUrlFunction() = std::move(function);
}

void setProxyRetrySleep(std::function<void(std::uint32_t milliseconds)> sleep)
{
    retrySleep() = std::move(sleep);
}

bool detectProxy(const std::string& url, std::vector<std::string>& proxies, std::string& pacHost)
{
    proxies.clear();
    // The guard puts back whatever identity the thread had, the caller's impersonation
    // included, on every path.
    ImpersonationGuard impersonation;
    impersonateActiveUser(impersonation);

    ktPlatform::UserProxyConfig config;
    if (!ktPlatform::userProxyConfig(config)) {
        KTLOG(KT_LOG_ERROR, "WinHttpGetIEProxyConfigForCurrentUser failed, error %d",
              ktPlatform::lastError());
        return false;
    }
    const std::string pacUrl = ktPlatform::toNarrow(config.autoConfigUrl);
    const std::string staticText = ktPlatform::toNarrow(config.proxy);
    KTLOG(KT_LOG_INFO, "Proxy settings: auto detect %d, PAC %s, static %s",
          config.autoDetect ? 1 : 0, proxyForLog(pacUrl).c_str(), proxyForLog(staticText).c_str());
    const bool result = config.autoDetect || !pacUrl.empty() || !staticText.empty();
    bool useStatic = true;

    if (config.autoDetect || !pacUrl.empty()) {
        std::wstring proxyText;
        switch (lookUpWithRetries(config, url, proxyText)) {
        case LookUp::answered:
            useStatic = false;
            takePacHost(pacUrl, pacHost);
            break;
        case LookUp::localPac:
            useStatic = !detectProxyFromLocalPac(config.autoConfigUrl, url, proxies);
            break;
        case LookUp::failed:
            break;
        }
        appendDetectedProxies(proxyText, proxies);
        if (!useStatic && proxies.empty()) {
            KTLOG(KT_LOG_INFO, "Proxy not detected");
        }
    }
    if (useStatic) {
        appendStaticProxy(staticText, proxies);
    }
    revertImpersonation(impersonation);
    return result;
}

bool detectProxyFromLocalPac(const std::wstring& pacUrl, const std::string& url,
                             std::vector<std::string>& proxies)
{
    const std::string narrowUrl = ktPlatform::toNarrow(pacUrl);
    if (!startsWithFileScheme(pacUrl)) {
        KTLOG(KT_LOG_ERROR, "Not a valid local pac url %s", proxyForLog(narrowUrl).c_str());
        return false;
    }
    const std::string pacPath = ktPlatform::toNarrow(pacUrl.substr(7));

    std::string modulePath;
    if (!ktPlatform::executablePath(modulePath)) {
        KTLOG(KT_LOG_ERROR, "GetModuleFileName failed %d", ktPlatform::lastError());
        return false;
    }
    const std::string folder = modulePath.substr(0, modulePath.rfind('/') + 1);
    const std::string program = folder + "ktpacparser";

    std::string shortPath;
    if (!ktPlatform::shortPathName(pacPath, shortPath)) {
        KTLOG(KT_LOG_ERROR, "Failed to get short path of %s", escapeControlChars(pacPath).c_str());
        return false;
    }
    const std::string commandLine = pacProgramCommand(program, url, shortPath);

    if (!ktPlatform::publicFolder()) {
        KTLOG(KT_LOG_ERROR, "Failed to retrive PUBLIC path, error %d", kErrorEnvvarNotFound);
        return false;
    }
    // The answer goes to a folder of this run's own, never to a fixed name in the shared
    // public folder, where another account's file would block the run or stand for its
    // answer.
    PacScratchFolder scratch;
    if (!scratch.ok()) {
        KTLOG(KT_LOG_ERROR, "ExecCommand: failed to create output file error: %d",
              ktPlatform::lastError());
        return false;
    }
    std::string output;
    if (!runPacProgram(commandLine, scratch, output)) {
        return false;
    }
    for (std::string entry : pacResultProxies(output)) {
        withDefaultPort(entry);
        proxies.push_back(entry);
    }
    KTLOG(KT_LOG_INFO, "No of proxies detected %d", static_cast<int>(proxies.size()));
    return true;
}
