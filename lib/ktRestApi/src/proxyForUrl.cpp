// The proxy-for-URL look-up: a PAC script fetched over http(s) and evaluated by the PAC
// program beside the tool.

#include "ktRestApi/proxy.h"

#include "pacResult.h"

#include "ktDownloader/ktHTTPClient.h"
#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/process.h"
#include "ktPlatform/proxySettings.h"
#include "ktPlatform/strings.h"
#include "ktUtils/stringUtil.h"

#include <chrono>
#include <cstdio>
#include <memory>

static const char* const kLogModule = "ktUtil";

namespace {

// A PAC script is a few kilobytes.
constexpr std::size_t kMaxPacScript = 1024 * 1024;
constexpr std::uint32_t kErrorInvalidParameter = 87;
// The bound of a session without a receive time-out of its own.
constexpr int kDefaultDownloadMs = 30000;

bool isHttpUrl(const std::string& url)
{
    const std::string scheme = toLowerAscii(url.substr(0, url.find("://")));
    if (scheme.size() == url.size()) {
        return false;
    }
    return scheme == "http" || scheme == "https";
}

struct Download {
    std::string body;
    std::chrono::steady_clock::time_point deadline;
    bool tooLarge = false;
    bool tooSlow = false;
};

std::size_t collect(void* context, const char* data, std::size_t size, std::size_t count)
{
    Download& download = *static_cast<Download*>(context);
    const std::size_t length = size * count;
    if (download.body.size() + length > kMaxPacScript) {
        download.tooLarge = true;
        return 0;
    }
    // The low-speed limit keeps writes coming; a slow drip still ends here.
    if (std::chrono::steady_clock::now() > download.deadline) {
        download.tooSlow = true;
        return 0;
    }
    download.body.append(data, length);
    return length;
}

// Fetches the script without any proxy. True with the body of a 200 reply.
bool downloadScript(const std::string& url, int timeoutMs, std::string& script)
{
    Download download;
    download.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    KTHTTPClient client;
    int rc = client.init(false);
    if (rc == 0) {
        client.writeMode = KTHTTPClient::kWriteUser;
        client.userWrite = &collect;
        client.userContext = &download;
        rc = client.setURL(url);
    }
    if (rc == 0) {
        rc = client.setDirect();
    }
    if (rc == 0) {
        rc = client.perform();
    }
    const long status = client.responseCode;
    client.cleanup();
    if (download.tooLarge) {
        KTLOG(KT_LOG_ERROR, "PAC file larger than %d bytes", static_cast<int>(kMaxPacScript));
        return false;
    }
    if (download.tooSlow) {
        KTLOG(KT_LOG_ERROR, "PAC file download took longer than %d ms", timeoutMs);
        return false;
    }
    if (rc != 0 || status != 200) {
        KTLOG(KT_LOG_ERROR, "PAC file download failed, result %d, HTTP status %d", rc,
              static_cast<int>(status));
        return false;
    }
    script = std::move(download.body);
    return true;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool writeScript(const std::string& path, const std::string& script)
{
    std::unique_ptr<std::FILE, FileCloser> file(ktPlatform::openFileNoFollow(path, "wb"));
    if (!file) {
        return false;
    }
    const bool written = std::fwrite(script.data(), 1, script.size(), file.get()) == script.size();
    return std::fclose(file.release()) == 0 && written;
}

// Runs the PAC program on the script for url. True with its answer.
bool evaluateScript(const std::string& url, const std::string& script, std::string& answer)
{
    std::string program;
    if (!ktPlatform::programBesideExecutable("ktpacparser", program)) {
        KTLOG(KT_LOG_ERROR, "GetModuleFileName failed %d", ktPlatform::lastError());
        return false;
    }
    PacScratchFolder scratch;
    if (!scratch.ok() || !writeScript(scratch.file("proxy.pac"), script)) {
        KTLOG(KT_LOG_ERROR, "failed to store the PAC file, err: %d", ktPlatform::lastError());
        return false;
    }
    return runPacProgram(pacProgramCommand(program, url, scratch.file("proxy.pac")), scratch,
                         answer);
}

} // namespace

std::uint32_t getProxyForUrl(const ProxySession& session, const std::wstring& url,
                             const AutoProxyOptions& options, std::wstring& proxy)
{
    proxy.clear();
    if ((options.flags & kAutoProxyConfigUrl) == 0) {
        return (options.flags & kAutoProxyAutoDetect) != 0 ? ktPlatform::kErrorNotFound
                                                           : kErrorInvalidParameter;
    }
    const std::string pacUrl = ktPlatform::toNarrow(options.autoConfigUrl);
    if (!isHttpUrl(pacUrl)) {
        return ktPlatform::kWinHttpUnrecognizedScheme;
    }
    std::string script;
    const int timeoutMs =
        session.receiveTimeoutMs > 0 ? session.receiveTimeoutMs : kDefaultDownloadMs;
    if (!downloadScript(pacUrl, timeoutMs, script)) {
        return ktPlatform::kWinHttpUnableToDownloadScript;
    }
    std::string answer;
    if (!evaluateScript(ktPlatform::toNarrow(url), script, answer)) {
        return ktPlatform::kWinHttpBadAutoProxyScript;
    }
    std::string joined;
    for (const std::string& entry : pacResultProxies(answer)) {
        if (!joined.empty()) {
            joined += ';';
        }
        joined += entry;
    }
    proxy = ktPlatform::toWide(joined);
    return 0;
}
