#include "ktDownloader/ktHTTPClient.h"

#include "ktCert/peer.h"
#include "ktLog/ktLog.h"
#include "ktLog/peerText.h"
#include "ktPlatform/trustStore.h"
#include "ktUtils/jsonUtil.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/property_tree/ptree.hpp>
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>

static const char* const kLogModule = "downloader";

namespace {

// The error value of the write, read and header callbacks.
constexpr std::size_t kCallbackError = static_cast<std::size_t>(-1);

// Redirects one request follows at most, where it follows any.
constexpr long kMaxRedirects = 10;

std::mutex g_userAgentMutex;
std::string g_userAgent = "ktClient";

std::atomic<bool> g_validatePeerCert{true};
std::atomic<long long> g_stallWindowMs{30000};
std::atomic<PeerCertificateCheck> g_peerCheck{nullptr};

std::mutex g_faultMutex;
std::function<bool(const char*)> g_optionFault;

// libcurl's global set-up is not safe to race; a failed one is tried again next time.
std::mutex g_globalInitMutex;
bool g_globalInitDone = false;

// One attempt of a request through proxy (none when empty); reached: see originReached.
using ProxyAttempt = std::function<int(const ktProxyParams& proxy, bool& reached)>;

// The request without a proxy when the settings hold none, else through each proxy in turn,
// with the settings' credentials, until one succeeds or the origin was reached: past that
// point the origin may have the request, and another proxy would deliver it twice. The
// result of the last attempt.
int throughProxies(const ProxySettings& settings, const ProxyAttempt& attempt)
{
    bool reached = false;
    if (settings.proxies.empty()) {
        return attempt(ktProxyParams{}, reached);
    }
    int rc = -2;
    for (const std::string& proxy : settings.proxies) {
        rc = attempt(ktProxyParams{proxy, settings.credentials}, reached);
        if (rc == 0 || reached) {
            break;
        }
    }
    return rc;
}

bool optionFails(const char* name)
{
    std::lock_guard<std::mutex> lock(g_faultMutex);
    return g_optionFault && g_optionFault(name);
}

// "HTTP/<version> <3 digits>" followed by a blank or the line end: the code; else -1.
int statusCodeOf(const char* line)
{
    if (std::strncmp(line, "HTTP/", 5) != 0) {
        return -1;
    }
    const char* p = line + 5;
    while (*p != '\0' && *p != ' ') {
        ++p;
    }
    if (*p != ' ') {
        return -1;
    }
    ++p;
    int code = 0;
    for (int i = 0; i < 3; ++i, ++p) {
        if (*p < '0' || *p > '9') {
            return -1;
        }
        code = code * 10 + (*p - '0');
    }
    return (*p == '\0' || *p == ' ' || *p == '\r' || *p == '\n') ? code : -1;
}

std::string withoutLineEnd(const char* line)
{
    std::string text(line);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    return text;
}

// Leading ':' removed, trailing CR/LF removed, then every white-space character removed.
std::string cleanHeaderValue(const char* value)
{
    std::string text(value);
    const std::size_t start = text.find_first_not_of(':');
    text.erase(0, start == std::string::npos ? text.size() : start);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    std::string cleaned;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            cleaned += c;
        }
    }
    return cleaned;
}

std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* client)
{
    return static_cast<KTHTTPClient*>(client)->onHeader(data, size, count);
}

std::size_t writeCallback(char* data, std::size_t size, std::size_t count, void* client)
{
    return static_cast<KTHTTPClient*>(client)->onWrite(data, size, count);
}

std::size_t readCallback(char* data, std::size_t size, std::size_t count, void* client)
{
    return static_cast<KTHTTPClient*>(client)->onRead(data, size, count);
}

int progressCallback(void* client, curl_off_t, curl_off_t downloaded, curl_off_t,
                     curl_off_t uploaded)
{
    if (client == nullptr) {
        return 0;
    }
    return static_cast<KTHTTPClient*>(client)->onProgress(downloaded, uploaded);
}

// Installs our own verification on the TLS context of each validated transfer. OpenSSL's
// own pass gets the machine's roots, so a chain to one of them (a leaf issued directly by a
// root included) verifies in that one pass; only the errors it still finds go to the
// machine's decision.
CURLcode sslContextCallback(CURL*, void* sslCtx, void*)
{
    if (sslCtx == nullptr) {
        KTLOG(KT_LOG_ERROR, "invalid params");
        return CURLE_SSL_CERTPROBLEM;
    }
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtx);
    X509_STORE* roots = ktPlatform::machineTrustStore();
    if (roots == nullptr) {
        KTLOG(KT_LOG_ERROR, "the machine's trusted roots could not be loaded");
        return CURLE_SSL_CACERT_BADFILE;
    }
    SSL_CTX_set1_cert_store(ctx, roots);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyServerCACallback);
    return CURLE_OK;
}

} // namespace

int httpGlobalInit()
{
    std::lock_guard<std::mutex> lock(g_globalInitMutex);
    if (!g_globalInitDone) {
        const CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
        if (code != CURLE_OK) {
            KTLOG(KT_LOG_ERROR, "curl initialization failed, error code %d error %s",
                  static_cast<int>(code), curl_easy_strerror(code));
            return -2;
        }
        g_globalInitDone = true;
    }
    return 0;
}

void setHttpUserAgent(const std::string& agent)
{
    std::lock_guard<std::mutex> lock(g_userAgentMutex);
    g_userAgent = agent;
}

std::string httpUserAgent()
{
    std::lock_guard<std::mutex> lock(g_userAgentMutex);
    return g_userAgent;
}

void setValidatePeerCert(bool on)
{
    g_validatePeerCert = on;
}

bool validatePeerCert()
{
    return g_validatePeerCert;
}

void setStallWindow(std::chrono::milliseconds window)
{
    g_stallWindowMs = window.count();
}

void setOptionFault(std::function<bool(const char*)> fault)
{
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_optionFault = std::move(fault);
}

void setPeerCertificateCheck(PeerCertificateCheck check)
{
    g_peerCheck = check;
}

int VerifyServerCACallback(int preverifyOk, X509_STORE_CTX* storeCtx)
{
    KTLOG(KT_LOG_DEBUG, "VerifyServerCACallback invoked, prverify_ok: %d", preverifyOk);
    if (storeCtx == nullptr) {
        return 0;
    }
    if (preverifyOk != 0) {
        return preverifyOk;
    }
    // Only a certificate OpenSSL refused is looked at further.
    X509* cert = X509_STORE_CTX_get_current_cert(storeCtx);
    const int error = X509_STORE_CTX_get_error(storeCtx);
    const int depth = X509_STORE_CTX_get_error_depth(storeCtx);
    char subject[512] = {};
    if (cert != nullptr) {
        X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
    }
    KTLOG(KT_LOG_DEBUG, "peer cert verify err: %d, errMsg: %s, depth: %d, subject: %s", error,
          X509_verify_cert_error_string(error), depth, subject);

    if (error != X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT &&
        error != X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN &&
        error != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY &&
        error != X509_V_ERR_CERT_UNTRUSTED) {
        return preverifyOk;
    }
    const PeerCertificateCheck check = g_peerCheck.load();
    STACK_OF(X509)* peerChain = X509_STORE_CTX_get0_untrusted(storeCtx);
    const bool trusted =
        check != nullptr ? check(cert, peerChain) : verifyPeerCertificate(cert, peerChain);
    if (trusted) {
        if (error == X509_V_ERR_CERT_UNTRUSTED) {
            X509_STORE_CTX_set_cert(storeCtx, cert);
        }
        return 1;
    }
    X509_STORE_CTX_set_error(storeCtx, X509_V_ERR_INVALID_CA);
    return 0;
}

KTHTTPClient::KTHTTPClient()
    : errorBuffer{}, handle(nullptr), stopRequested(0), headerList(nullptr), got200(0), got201(0),
      responseCode(-1), writeFile(nullptr), readFile(nullptr), writeMode(kWriteNone),
      buffer(nullptr), bufferSize(0), bufferLength(0), userWrite(nullptr), userContext(nullptr),
      abortRequested(false), captureHostHeaders(false)
{
}

KTHTTPClient::~KTHTTPClient()
{
    if (handle != nullptr || headerList != nullptr) {
        cleanup();
    }
}

template <typename T>
int KTHTTPClient::setOption(const char* name, int option, T value)
{
    CURLcode code = CURLE_UNKNOWN_OPTION;
    if (!optionFails(name)) {
        code = curl_easy_setopt(handle, static_cast<CURLoption>(option), value);
    }
    if (code != CURLE_OK) {
        KTLOG(KT_LOG_ERROR, "curl_easy_setopt %s failed, code %d, error %s", name,
              static_cast<int>(code), curl_easy_strerror(code));
    }
    return static_cast<int>(code);
}

#define KT_SETOPT(option, value) setOption(#option, option, value)

int KTHTTPClient::init(bool progress)
{
    if (httpGlobalInit() != 0) {
        return -2;
    }
    handle = curl_easy_init();
    if (handle == nullptr) {
        KTLOG(KT_LOG_ERROR, "cURL easy init failed");
        return -2;
    }
    if (KT_SETOPT(CURLOPT_HTTPGET, 1L) != 0 || KT_SETOPT(CURLOPT_FAILONERROR, 1L) != 0 ||
        KT_SETOPT(CURLOPT_FOLLOWLOCATION, 0L) != 0 ||
        // The body is accepted by status line, which HTTP/2 words differently.
        KT_SETOPT(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) != 0 ||
        // Nothing but HTTP(S), also where a redirect points: no files, no other protocols.
        KT_SETOPT(CURLOPT_PROTOCOLS_STR, "http,https") != 0 ||
        KT_SETOPT(CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != 0 ||
        // Where redirects are followed, a server answering each with another (itself, say)
        // must not hold the request, nor have an upload sent again, without end.
        KT_SETOPT(CURLOPT_MAXREDIRS, kMaxRedirects) != 0) {
        return -2;
    }
    if (!progress) {
        if (KT_SETOPT(CURLOPT_CONNECTTIMEOUT, 10L) != 0 ||
            KT_SETOPT(CURLOPT_LOW_SPEED_LIMIT, 1L) != 0 ||
            KT_SETOPT(CURLOPT_LOW_SPEED_TIME, 5L) != 0) {
            return -2;
        }
    } else {
        abortRequested = false;
        m_stallWindowStart = std::chrono::steady_clock::now();
        m_stallWindowBytes = 0;
        if (KT_SETOPT(CURLOPT_NOPROGRESS, 0L) != 0 ||
            KT_SETOPT(CURLOPT_XFERINFOFUNCTION, &progressCallback) != 0 ||
            KT_SETOPT(CURLOPT_XFERINFODATA, static_cast<void*>(this)) != 0) {
            return -2;
        }
    }
    // A failure here skips the rest of the group only.
    if (KT_SETOPT(CURLOPT_VERBOSE, 0L) == 0) {
        KT_SETOPT(CURLOPT_ERRORBUFFER, errorBuffer);
    }
    KT_SETOPT(CURLOPT_USERAGENT, httpUserAgent().c_str());
    // Without our callbacks libcurl would print the body; without our TLS check it would
    // accept any server.
    if (setCallbacks() != 0 || setSSLOptions(validatePeerCert()) != 0) {
        return -2;
    }
    return 0;
}

int KTHTTPClient::setSSLOptions(bool validate)
{
    // Verification is our own callback's; libcurl's would refuse what it accepts.
    if (KT_SETOPT(CURLOPT_SSL_VERIFYPEER, 0L) != 0 ||
        KT_SETOPT(CURLOPT_SSL_VERIFYHOST, validate ? 2L : 0L) != 0) {
        return -2;
    }
    if (!validate) {
        KTLOG(KT_LOG_WARNING, "server certificate validation is turned off by devConfig");
        return 0;
    }
    // The machine's roots are read once per process, here rather than inside the first
    // handshake, which then only verifies.
    if (ktPlatform::machineTrustStore() == nullptr) {
        KTLOG(KT_LOG_ERROR, "the machine's trusted roots could not be loaded");
        return -2;
    }
    if (KT_SETOPT(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this)) != 0 ||
        KT_SETOPT(CURLOPT_SSL_CTX_FUNCTION, &sslContextCallback) != 0) {
        return -2;
    }
    return 0;
}

int KTHTTPClient::setCallbacks()
{
    if (KT_SETOPT(CURLOPT_WRITEDATA, static_cast<void*>(this)) != 0 ||
        KT_SETOPT(CURLOPT_WRITEFUNCTION, &writeCallback) != 0 ||
        KT_SETOPT(CURLOPT_HEADERDATA, static_cast<void*>(this)) != 0 ||
        KT_SETOPT(CURLOPT_HEADERFUNCTION, &headerCallback) != 0 ||
        KT_SETOPT(CURLOPT_READDATA, static_cast<void*>(this)) != 0 ||
        KT_SETOPT(CURLOPT_READFUNCTION, &readCallback) != 0) {
        return -2;
    }
    return 0;
}

int KTHTTPClient::setHeaders(const std::string& header)
{
    curl_slist* list = curl_slist_append(headerList, header.c_str());
    if (list == nullptr) {
        KTLOG(KT_LOG_ERROR, "curl_slist_append failed");
        return -2;
    }
    headerList = list;
    return KT_SETOPT(CURLOPT_HTTPHEADER, headerList) != 0 ? -2 : 0;
}

int KTHTTPClient::setURL(const std::string& url)
{
    return KT_SETOPT(CURLOPT_URL, url.c_str()) != 0 ? -2 : 0;
}

int KTHTTPClient::setProxy(const std::string& proxy, const std::string& credentials)
{
    if (proxy.empty()) {
        return 0;
    }
    if (KT_SETOPT(CURLOPT_PROXY, proxy.c_str()) != 0 ||
        KT_SETOPT(CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_ANY)) != 0 ||
        KT_SETOPT(CURLOPT_PROXYUSERPWD, credentials.empty() ? ":" : credentials.c_str()) != 0) {
        return -2;
    }
    return 0;
}

int KTHTTPClient::setDirect()
{
    // An empty proxy name overrides http_proxy, https_proxy and all_proxy.
    return KT_SETOPT(CURLOPT_PROXY, "") != 0 ? -2 : 0;
}

int KTHTTPClient::setInterface(const std::string& name)
{
    if (name.empty()) {
        return 0;
    }
    return KT_SETOPT(CURLOPT_INTERFACE, name.c_str()) != 0 ? -2 : 0;
}

int KTHTTPClient::setPostData(const TransferBuffer& body)
{
    writeMode = kWritePost;
    // Null fields would make libcurl read the body through the read callback.
    static const char kEmpty[] = "";
    const char* data = body.data != nullptr ? body.data : kEmpty;
    const long size = body.data != nullptr ? static_cast<long>(body.size) : 0L;
    if (KT_SETOPT(CURLOPT_POSTFIELDS, data) != 0 || KT_SETOPT(CURLOPT_POSTFIELDSIZE, size) != 0) {
        return -2;
    }
    return 0;
}

int KTHTTPClient::setConnectTimeout(std::chrono::milliseconds connect)
{
    return KT_SETOPT(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect.count())) != 0 ? -2 : 0;
}

int KTHTTPClient::perform()
{
    const CURLcode code = curl_easy_perform(handle);
    long httpCode = 0;
    if (code == CURLE_OK) {
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &httpCode);
        responseCode = httpCode;
        return 0;
    }
    KTLOG(KT_LOG_ERROR, "curl_easy_perform failed, code %d, error %s", static_cast<int>(code),
          curl_easy_strerror(code));
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &httpCode);
    long connectCode = 0;
    curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connectCode);

    if (code == CURLE_HTTP_RETURNED_ERROR || code == CURLE_LOGIN_DENIED) {
        responseCode = httpCode;
        const long decisive = httpCode != 0 ? httpCode : connectCode;
        KTLOG(KT_LOG_WARNING, "Got HTTP response code: %d", static_cast<int>(decisive));
        return (decisive == 401 || decisive == 407) ? -5 : -4;
    }
    if (code == CURLE_WRITE_ERROR) {
        responseCode = httpCode;
        return -6;
    }
    // libcurl reports a refused tunnel as a receive error: it is the proxy's HTTP answer.
    if (httpCode == 0 && connectCode >= 400) {
        KTLOG(KT_LOG_WARNING, "Got HTTP response code: %d", static_cast<int>(connectCode));
        return (connectCode == 401 || connectCode == 407) ? -5 : -4;
    }
    return abortRequested ? 0 : -2;
}

int KTHTTPClient::cleanup()
{
    if (handle != nullptr) {
        curl_easy_cleanup(handle);
        handle = nullptr;
    }
    curl_slist_free_all(headerList);
    headerList = nullptr;
    return 0;
}

double KTHTTPClient::transferInfo(TransferInfo which) const
{
    if (handle == nullptr) {
        return 0.0;
    }
    if (which == TransferInfo::downloadSpeed) {
        // The double form is deprecated; libcurl keeps the speed in whole bytes anyway.
        curl_off_t speed = 0;
        curl_easy_getinfo(handle, CURLINFO_SPEED_DOWNLOAD_T, &speed);
        return static_cast<double>(speed);
    }
    CURLINFO info = CURLINFO_TOTAL_TIME;
    switch (which) {
    case TransferInfo::nameLookupTime:
        info = CURLINFO_NAMELOOKUP_TIME;
        break;
    case TransferInfo::connectTime:
        info = CURLINFO_CONNECT_TIME;
        break;
    case TransferInfo::startTransferTime:
        info = CURLINFO_STARTTRANSFER_TIME;
        break;
    case TransferInfo::appConnectTime:
        info = CURLINFO_APPCONNECT_TIME;
        break;
    case TransferInfo::preTransferTime:
        info = CURLINFO_PRETRANSFER_TIME;
        break;
    case TransferInfo::redirectTime:
        info = CURLINFO_REDIRECT_TIME;
        break;
    case TransferInfo::totalTime:
    case TransferInfo::downloadSpeed:
        break;
    }
    double value = 0.0;
    if (curl_easy_getinfo(handle, info, &value) != CURLE_OK) {
        return 0.0;
    }
    return value;
}

bool KTHTTPClient::getConnectionInfo(SpeedTestResult& result, int operation)
{
    result.hostName = hostName;
    result.hostPop = hostPop;
    if (handle == nullptr) {
        KTLOG(KT_LOG_ERROR, "Failed to get local IP.");
        return false;
    }
    const auto text = [this](CURLINFO info, std::string& out) {
        char* value = nullptr;
        if (curl_easy_getinfo(handle, info, &value) != CURLE_OK || value == nullptr ||
            *value == '\0') {
            return false;
        }
        out = value;
        return true;
    };
    const auto number = [this](CURLINFO info, std::int32_t& out) {
        long value = 0;
        if (curl_easy_getinfo(handle, info, &value) != CURLE_OK) {
            return false;
        }
        out = static_cast<std::int32_t>(value);
        return true;
    };
    if (!text(CURLINFO_LOCAL_IP, result.localIp)) {
        KTLOG(KT_LOG_ERROR, "Failed to get local IP.");
        return false;
    }
    if (!text(CURLINFO_PRIMARY_IP, result.remoteIp)) {
        KTLOG(KT_LOG_ERROR, "Failed to get remote IP.");
        return false;
    }
    if (!number(CURLINFO_LOCAL_PORT, result.localPort)) {
        KTLOG(KT_LOG_ERROR, "Failed to get local port.");
        return false;
    }
    if (!number(CURLINFO_PRIMARY_PORT, result.remotePort)) {
        KTLOG(KT_LOG_ERROR, "Failed to get remote port.");
        return false;
    }
    curl_off_t speed = 0;
    if (curl_easy_getinfo(handle,
                          operation == kSpeedTestUpload ? CURLINFO_SPEED_UPLOAD_T
                                                        : CURLINFO_SPEED_DOWNLOAD_T,
                          &speed) != CURLE_OK) {
        KTLOG(KT_LOG_ERROR, "Failed to get speed, Operation = %d.", operation);
        return false;
    }
    result.speed = static_cast<double>(speed);
    return true;
}

bool KTHTTPClient::originReached() const
{
    if (handle == nullptr) {
        return false;
    }
    long httpCode = 0;
    curl_off_t pretransfer = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &httpCode);
    // Set once the connection (tunnel and TLS included) is up and the request goes out.
    curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    return httpCode != 0 || pretransfer > 0;
}

std::size_t KTHTTPClient::onHeader(const char* data, std::size_t size, std::size_t count)
{
    if (stopRequested != 0) {
        return kCallbackError;
    }
    const std::size_t length = size * count;
    char line[1024] = {};
    std::memcpy(line, data, length < sizeof(line) - 1 ? length : sizeof(line) - 1);

    const int status = statusCodeOf(line);
    if (status >= 0) {
        // Every status line starts a new reply (a proxy's CONNECT answer, a redirect, an
        // interim 100): only the last one decides.
        got200 = status == 200 ? 1 : 0;
        got201 = status == 201 ? 1 : 0;
        if (got200 != 0) {
            KTLOG(KT_LOG_DEBUG, "200 OK received");
        } else if (got201 != 0) {
            KTLOG(KT_LOG_DEBUG, "201 Created received");
        } else {
            KTLOG(KT_LOG_DEBUG, "HTTP response: %s",
                  escapeControlChars(withoutLineEnd(line)).c_str());
        }
    } else if (captureHostHeaders) {
        if (std::strstr(line, "x-kt-hostname") != nullptr) {
            hostName = cleanHeaderValue(line + std::strlen("x-kt-hostname"));
        } else if (std::strstr(line, "x-kt-hostpop") != nullptr) {
            hostPop = cleanHeaderValue(line + std::strlen("x-kt-hostpop"));
        }
    }
    return length;
}

std::size_t KTHTTPClient::onWrite(const char* data, std::size_t size, std::size_t count)
{
    if (stopRequested != 0) {
        return kCallbackError;
    }
    if (got200 == 0 && got201 == 0) {
        KTLOG(KT_LOG_ERROR, "http response code was not 200, so aborting response.");
        return kCallbackError;
    }
    const std::size_t length = size * count;
    switch (writeMode) {
    case kWriteFile:
        if (writeFile == nullptr) {
            KTLOG(KT_LOG_ERROR, "write file pointer is NULL");
            return kCallbackError;
        }
        return std::fwrite(data, size, count, writeFile);
    case kWriteBuffer:
    case kWritePost: {
        const unsigned long long needed =
            static_cast<unsigned long long>(bufferLength) + static_cast<unsigned long long>(length);
        if (buffer == nullptr || needed > bufferSize) {
            KTLOG(KT_LOG_ERROR, "Input buffer is not enough, needed %llu", needed);
            bufferLength = 0;
            return kCallbackError;
        }
        std::memcpy(buffer + bufferLength, data, length);
        bufferLength += static_cast<std::uint32_t>(length);
        return length;
    }
    case kWriteUser:
        if (userWrite == nullptr) {
            KTLOG(KT_LOG_ERROR, "invalid writing mode");
            return kCallbackError;
        }
        return userWrite(userContext, data, size, count);
    case kWriteDiscard:
        return length;
    default:
        KTLOG(KT_LOG_ERROR, "invalid writing mode");
        return kCallbackError;
    }
}

std::size_t KTHTTPClient::onRead(char* data, std::size_t size, std::size_t count)
{
    if (stopRequested != 0) {
        return kCallbackError;
    }
    if (readFile == nullptr) {
        return 0;
    }
    return std::fread(data, size, count, readFile);
}

int KTHTTPClient::onProgress(std::int64_t downloaded, std::int64_t uploaded)
{
    if (abortRequested) {
        KTLOG(KT_LOG_INFO, "Aborting connection...");
        return 1;
    }
    // Stalled: below one byte per second on average since the window began, for a whole
    // window. Any moment the average is back at that rate starts a new window.
    const auto now = std::chrono::steady_clock::now();
    const long long elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - m_stallWindowStart).count();
    const std::int64_t moved = downloaded + uploaded - m_stallWindowBytes;
    // A byte for each second begun: one byte in 1.5 s is below the rate.
    const std::int64_t required = elapsedMs > 1000 ? (elapsedMs + 999) / 1000 : 1;
    if (moved >= required) {
        m_stallWindowStart = now;
        m_stallWindowBytes = downloaded + uploaded;
        return 0;
    }
    if (elapsedMs >= g_stallWindowMs.load()) {
        KTLOG(KT_LOG_ERROR, "transfer stalled below 1 byte/s for %lld ms, aborting", elapsedMs);
        return 1;
    }
    return 0;
}

int KTHTTPClient::getOnce(const std::string& url, TransferBuffer& out, const ktProxyParams& proxy,
                          const std::string& header, const std::string& interfaceName,
                          bool& reached)
{
    reached = false;
    out.length = 0;
    out.responseCode = -1;
    KTHTTPClient client;
    int rc = client.init(false);
    if (rc == 0) {
        client.setHeaders(header);
        client.writeMode = kWriteBuffer;
        client.buffer = out.data;
        client.bufferSize = out.size;
        client.bufferLength = 0;
        rc = client.setURL(url);
    }
    if (rc == 0) {
        rc = client.setProxy(proxy.proxy, proxy.credentials);
    }
    if (rc == 0) {
        rc = client.setInterface(interfaceName);
    }
    if (rc == 0 && client.KT_SETOPT(CURLOPT_FOLLOWLOCATION, 1L) != 0) {
        rc = -2;
    }
    if (rc == 0) {
        rc = client.perform();
        reached = client.originReached();
        if (rc == 0) {
            out.length = client.bufferLength;
        }
    }
    out.responseCode = static_cast<std::int32_t>(client.responseCode);
    return rc;
}

int KTHTTPClient::postOnce(const std::string& url, const TransferBuffer& body,
                           TransferBuffer& reply, const ktProxyParams& proxy,
                           const std::string& interfaceName,
                           const std::vector<std::string>& headers, bool& reached)
{
    reached = false;
    reply.length = 0;
    KTHTTPClient client;
    int rc = client.init(false);
    if (rc != 0) {
        return rc;
    }
    client.setHeaders("Content-Type: application/json");
    for (const std::string& header : headers) {
        client.setHeaders(header);
    }
    client.writeMode = kWriteBuffer;
    client.buffer = reply.data;
    client.bufferSize = reply.size;
    client.bufferLength = 0;
    if (client.KT_SETOPT(CURLOPT_POST, 1L) != 0) {
        return -2;
    }
    rc = client.setURL(url);
    if (rc == 0) {
        rc = client.setProxy(proxy.proxy, proxy.credentials);
    }
    if (rc == 0) {
        rc = client.setInterface(interfaceName);
    }
    if (rc == 0) {
        rc = client.setPostData(body);
    }
    if (rc == 0) {
        rc = client.perform();
        reached = client.originReached();
    }
    // A POST follows no redirect: one without a body would otherwise pass for taken.
    if (rc == 0 && client.responseCode >= 300 && client.responseCode < 400) {
        KTLOG(KT_LOG_WARNING, "Got HTTP response code: %d", static_cast<int>(client.responseCode));
        rc = -4;
    }
    if (rc == 0) {
        reply.length = client.bufferLength;
    }
    return rc;
}

int KTHTTPClient::httpGet(const std::string& url, TransferBuffer& out, const ktProxyParams& proxy,
                          const std::string& header, const std::string& interfaceName)
{
    bool reached = false;
    return getOnce(url, out, proxy, header, interfaceName, reached);
}

int KTHTTPClient::httpGetViaProxies(const std::string& url, TransferBuffer& out,
                                    const ProxySettings& proxies, const std::string& header,
                                    const std::string& interfaceName)
{
    return throughProxies(proxies, [&](const ktProxyParams& proxy, bool& reached) {
        return getOnce(url, out, proxy, header, interfaceName, reached);
    });
}

int KTHTTPClient::httpPostJson(const std::string& url, const TransferBuffer& body,
                               TransferBuffer* reply, const ktProxyParams& proxy,
                               const std::string& interfaceName,
                               const std::vector<std::string>& headers)
{
    char scratch[1024] = {};
    TransferBuffer internal;
    internal.data = scratch;
    internal.size = sizeof(scratch);
    bool reached = false;
    return postOnce(url, body, reply != nullptr ? *reply : internal, proxy, interfaceName, headers,
                    reached);
}

int KTHTTPClient::httpPost(const std::string& url, const TransferBuffer& body,
                           TransferBuffer* reply, const ProxySettings& proxies,
                           const std::string& interfaceName,
                           const std::vector<std::string>& headers)
{
    char scratch[256] = {};
    TransferBuffer internal;
    internal.data = scratch;
    internal.size = sizeof(scratch);
    TransferBuffer& target = reply != nullptr ? *reply : internal;

    int rc = throughProxies(proxies, [&](const ktProxyParams& proxy, bool& reached) {
        return postOnce(url, body, target, proxy, interfaceName, headers, reached);
    });
    if (rc == 0) {
        const std::string text(target.data != nullptr ? target.data : "", target.length);
        if (!checkPostReply(text)) {
            KTLOG(KT_LOG_ERROR, "HTTP post error: %s", escapeControlChars(text).c_str());
            rc = -2;
        }
    }
    return rc;
}

bool KTHTTPClient::checkPostReply(const std::string& reply)
{
    try {
        boost::property_tree::ptree tree;
        readJsonBounded(reply, tree);
        const std::string status = tree.get<std::string>("status");
        if (boost::algorithm::iequals(status, "success") || status == "404") {
            KTLOG(KT_LOG_DEBUG, "HTTP post returned success");
            return true;
        }
        KTLOG(KT_LOG_ERROR, "HTTP post returned error %s", escapeControlChars(status).c_str());
        return false;
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_WARNING, "read_json failed, error: %s", e.what());
        return true;
    }
}

namespace {

constexpr long kMeasureBufferBytes = 512 * 1024;

} // namespace

int KTHTTPClient::measureTransfer(const std::string& url, int operation, TransferBuffer& upload,
                                  TransferBuffer& download, SpeedTestResult* result,
                                  const ktProxyParams& proxy, const std::string& header)
{
    bool reached = false;
    return measureOnce(url, operation, upload, download, result, proxy, header, reached);
}

int KTHTTPClient::measureOnce(const std::string& url, int operation, TransferBuffer& upload,
                              TransferBuffer& download, SpeedTestResult* result,
                              const ktProxyParams& proxy, const std::string& header, bool& reached)
{
    reached = false;
    if (result == nullptr) {
        KTLOG(KT_LOG_INFO, "invalid connection info buffer.");
        return -1;
    }
    auto client = std::make_unique<KTHTTPClient>();
    upload.length = 0;
    download.length = 0;
    int rc = client->init(true);
    if (rc == 0 && !header.empty()) {
        rc = client->setHeaders(header);
    }
    if (rc == 0) {
        // The reply never goes into the upload buffer: libcurl may still be sending it.
        client->writeMode = kWriteBuffer;
        client->buffer = download.data;
        client->bufferSize = download.data != nullptr ? download.size : 0;
        client->bufferLength = 0;
        if (operation == kSpeedTestUpload) {
            rc = client->setPostData(upload);
        }
    }
    if (rc == 0) {
        rc = client->setURL(url);
    }
    if (rc == 0) {
        rc = client->setProxy(proxy.proxy, proxy.credentials);
    }
    if (rc == 0 && client->KT_SETOPT(CURLOPT_FOLLOWLOCATION, 1L) != 0) {
        rc = -2;
    }
    // Larger reads and writes than the 16 KiB default: fewer calls per megabyte measured.
    if (rc == 0) {
        client->KT_SETOPT(CURLOPT_BUFFERSIZE, kMeasureBufferBytes);
        client->KT_SETOPT(CURLOPT_UPLOAD_BUFFERSIZE, kMeasureBufferBytes);
    }
    if (rc == 0) {
        client->captureHostHeaders = true;
        const auto started = std::chrono::steady_clock::now();
        rc = client->perform();
        reached = client->originReached();
        if (rc == 0) {
            const auto elapsed = std::chrono::steady_clock::now() - started;
            result->elapsedMs = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000);
            download.length = client->bufferLength;
            client->getConnectionInfo(*result, operation);
        }
    }
    client->cleanup();
    return rc;
}

int KTHTTPClient::measureTransferViaProxies(const std::string& url, int operation,
                                            TransferBuffer& upload, TransferBuffer& download,
                                            SpeedTestResult* result, const ProxySettings& proxies,
                                            const std::string& header)
{
    return throughProxies(proxies, [&](const ktProxyParams& proxy, bool& reached) {
        return measureOnce(url, operation, upload, download, result, proxy, header, reached);
    });
}

int KTHTTPClient::checkConnect(const std::string& url, const ktProxyParams& proxy)
{
    KTHTTPClient client;
    int rc = client.init(false);
    if (rc != 0) {
        return rc;
    }
    rc = client.KT_SETOPT(CURLOPT_CONNECTTIMEOUT, 2L);
    if (rc == 0) {
        rc = client.KT_SETOPT(CURLOPT_CONNECT_ONLY, 1L);
    }
    if (rc == 0) {
        rc = client.setURL(url);
    }
    if (rc == 0) {
        rc = client.setProxy(proxy.proxy, proxy.credentials);
    }
    if (rc == 0) {
        rc = client.KT_SETOPT(CURLOPT_FOLLOWLOCATION, 1L);
    }
    if (rc == 0) {
        rc = client.perform();
    }
    return rc;
}

void formatSpeed(const SpeedTestResult& result, std::string& text)
{
    text.clear();
    if (result.speed <= 0.0) {
        return;
    }
    // Bytes per second times 8, per 1000.
    const double kilobits = result.speed / 125.0;
    const double megabits = kilobits / 1000.0;
    std::ostringstream out;
    out.precision(4);
    if (megabits > 1.0) {
        out << megabits << " Mbps";
    } else {
        out << kilobits << " Kbps";
    }
    text = out.str();
}

void formatDuration(const SpeedTestResult& result, std::string& text)
{
    text.clear();
    const std::uint64_t ms = result.elapsedMs;
    if (ms == 0) {
        return;
    }
    if (ms < 1000) {
        text = std::to_string(ms) + " Milliseconds";
        return;
    }
    const std::uint64_t seconds = ms / 1000;
    const std::uint64_t minutes = seconds / 60;
    const std::uint64_t hours = minutes / 60;
    const auto append = [&text](std::uint64_t value, const char* unit) {
        if (value != 0) {
            text += std::to_string(value) + " " + unit + (value == 1 ? " " : "s ");
        }
    };
    append(hours, "Hour");
    append(minutes % 60, "Min");
    append(seconds % 60, "Second");
    if (ms % 1000 != 0) {
        text += std::to_string(ms % 1000) + " ms";
    }
}
