#pragma once
// One HTTP(S) transfer over one libcurl easy handle, and the static request operations
// built on it. Result codes of every operation:
//    0  success
//   -2  a set-up step failed, or the transfer failed for another reason
//   -4  the server (or a proxy's CONNECT) answered with an HTTP error
//   -5  that answer was 401 or 407
//   -6  the body was refused (status not 200/201, buffer too small, no target)
//
// Only this library includes libcurl; the declarations below need no libcurl header.

#include "ktDownloader/proxyParams.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

typedef void CURL;
struct curl_slist;
typedef struct x509_st X509;
typedef struct x509_store_ctx_st X509_STORE_CTX;
struct stack_st_X509;

// Caller-owned memory for a body; the client never writes past size bytes.
struct TransferBuffer {
    char* data = nullptr;           // not owned
    std::uint32_t size = 0;         // capacity (for a POST body: its length)
    std::uint32_t length = 0;       // bytes written so far (out)
    std::int32_t responseCode = -1; // written by httpGet only
};

// The process-wide libcurl set-up, done once (serialised; a failure is tried again on the
// next call): 0, or -2 logged. init runs it; code that starts clients on several threads
// runs it first.
int httpGlobalInit();

// The direction of a speed-test transfer: the operation of KTHTTPClient::measureTransfer and
// CProxyApi::speedTest.
enum SpeedTestOperation : int {
    kSpeedTestUpload = 1,
    kSpeedTestDownload = 2,
};

// What one speed-test transfer measured; the caller starts it with zeros and empty texts.
struct SpeedTestResult {
    std::int32_t localPort = 0;
    std::int32_t remotePort = 0;
    std::string localIp;
    std::string remoteIp;
    std::string hostPop;  // cleaned "x-kt-hostpop" reply header
    std::string hostName; // cleaned "x-kt-hostname" reply header
    double speed = 0.0;   // bytes per second, in the direction of the transfer
    std::uint64_t elapsedMs = 0;
};

// The throughput as "<n> Mbps" above 1 Mbit/s, else "<n> Kbps" (4 significant digits);
// empty for a speed of 0 or less.
void formatSpeed(const SpeedTestResult& result, std::string& text);
// The elapsed time as "<n> Milliseconds" below 1 s, else hours, minutes, seconds and
// milliseconds, each only when not 0 ("1 Min 1 Second 500 ms"); empty for 0.
void formatDuration(const SpeedTestResult& result, std::string& text);

// libcurl's timing values of a performed transfer.
enum class TransferInfo {
    totalTime,     // seconds, like every time below
    downloadSpeed, // bytes per second
    nameLookupTime,
    connectTime,
    startTransferTime, // first byte
    appConnectTime,    // TLS handshake done
    preTransferTime,
    redirectTime,
};

// Process-wide user agent of every request: "ktClient" until replaced. Thread-safe.
void setHttpUserAgent(const std::string& agent);
std::string httpUserAgent();

// Process-wide validate-peer-certificate switch. On from the start, so every request is
// verified; turning it off (a developer setting) is logged as a warning on each request.
void setValidatePeerCert(bool on);
bool validatePeerCert();

// Progress-mode transfers (init(true)) stop when they move fewer than one byte per second
// over this window: 30 s. Tests shorten it.
void setStallWindow(std::chrono::milliseconds window);

// Test seam: when it returns true for a libcurl option name ("CURLOPT_URL"), setting that
// option fails as an unknown option would. An empty function (the default) fails nothing.
void setOptionFault(std::function<bool(const char* optionName)> fault);

// OpenSSL's per-certificate verify callback of validated transfers: returns 1 to accept the
// certificate at this depth, 0 to refuse it. Chains OpenSSL cannot complete (errors 18,
// 19, 20, 27) go to the machine's trust decision.
int VerifyServerCACallback(int preverifyOk, X509_STORE_CTX* storeCtx);

// Test seam for that trust decision; null restores verifyPeerCertificate.
using PeerCertificateCheck = bool (*)(X509* cert, stack_st_X509* peerChain);
void setPeerCertificateCheck(PeerCertificateCheck check);

class KTHTTPClient {
public:
    using UserWrite = std::size_t (*)(void* context, const char* data, std::size_t size,
                                      std::size_t count);

    // What the write callback does with each block of the reply body: the values of
    // writeMode.
    enum WriteMode : std::int32_t {
        kWriteNone = 0,    // no mode: every block is refused
        kWriteFile = 1,    // fwrite to writeFile
        kWriteBuffer = 2,  // appended to buffer
        kWritePost = 3,    // the same; chosen by setPostData
        kWriteUser = 4,    // handed to userWrite with userContext
        kWriteDiscard = 5, // taken and dropped
    };

    KTHTTPClient();
    ~KTHTTPClient();
    KTHTTPClient(const KTHTTPClient&) = delete;
    KTHTTPClient& operator=(const KTHTTPClient&) = delete;

    // Members return 0 or -2 unless stated otherwise. A client makes one request: init,
    // settings, perform, cleanup.

    // Global and handle set-up and the fixed option list. progress: install the progress
    // callback (stall watch) in place of the connect and low-speed time-outs.
    int init(bool progress);
    int setSSLOptions(bool validate);
    int setCallbacks();
    // Adds one header line per call.
    int setHeaders(const std::string& header);
    int setURL(const std::string& url);
    // An empty proxy sets nothing. Empty credentials are sent as ":".
    int setProxy(const std::string& proxy, const std::string& credentials);
    int setInterface(const std::string& name);
    // No proxy at all, not even one named by the environment's proxy variables.
    int setDirect();
    // The body stays the caller's and must outlive perform. Selects kWritePost.
    int setPostData(const TransferBuffer& body);
    // A limit on this one request's connection (libcurl's connect time-out, TLS handshake
    // included); the transfer after it has none but what init set.
    int setConnectTimeout(std::chrono::milliseconds connect);
    // Runs the transfer: the result codes above. The handle stays readable afterwards.
    int perform();
    // After perform: one of libcurl's timing values; 0 when it has none.
    double transferInfo(TransferInfo which) const;
    // After perform: the captured host headers, the local and remote address and port,
    // and the speed of operation (kSpeedTestUpload, else download) into result. Stops with
    // false (logged) at the first value libcurl cannot give; the values before it stay filled.
    bool getConnectionInfo(SpeedTestResult& result, int operation);
    // Frees the handle and the header list; always 0.
    int cleanup();
    // After perform: true when the request reached the origin (it answered, or a proxy
    // tunnel to it was opened), so trying another proxy could deliver it twice.
    bool originReached() const;

    // A GET into out (length: bytes received on success; responseCode in every case).
    static int httpGet(const std::string& url, TransferBuffer& out, const ktProxyParams& proxy,
                       const std::string& header, const std::string& interfaceName);
    // httpGet without proxy, or through each proxy in turn until one succeeds or the origin
    // was reached; the result of the last attempt.
    static int httpGetViaProxies(const std::string& url, TransferBuffer& out,
                                 const ProxySettings& proxies, const std::string& header,
                                 const std::string& interfaceName);
    // A JSON POST of body; the reply goes into reply (may be null: a 1024-byte scratch).
    static int httpPostJson(const std::string& url, const TransferBuffer& body,
                            TransferBuffer* reply, const ktProxyParams& proxy,
                            const std::string& interfaceName,
                            const std::vector<std::string>& headers);
    // httpPostJson through the proxies as httpGetViaProxies does (null reply: a 256-byte
    // scratch); a successful transfer whose reply fails checkPostReply gives -2.
    static int httpPost(const std::string& url, const TransferBuffer& body, TransferBuffer* reply,
                        const ProxySettings& proxies, const std::string& interfaceName,
                        const std::vector<std::string>& headers);
    // False only when the reply is JSON whose "status" is neither "success" nor "404"
    // (any case).
    static bool checkPostReply(const std::string& reply);
    // One timed speed-test transfer in progress mode (no connect or low-speed time-out,
    // only the stall watch), following redirects: kSpeedTestUpload POSTs upload as the
    // body, any other operation GETs. The reply body goes into download in both cases
    // (capacity size; length: bytes received); a body that does not fit fails with -6.
    // header: one extra line, or empty. On success result gets the elapsed milliseconds
    // and the connection information. The codes above, or -1 for a null result.
    static int measureTransfer(const std::string& url, int operation, TransferBuffer& upload,
                               TransferBuffer& download, SpeedTestResult* result,
                               const ktProxyParams& proxy, const std::string& header);
    // measureTransfer without proxy, or through each proxy in turn, with the settings'
    // credentials, until one succeeds or the origin was reached; the result of the last
    // attempt.
    static int measureTransferViaProxies(const std::string& url, int operation,
                                         TransferBuffer& upload, TransferBuffer& download,
                                         SpeedTestResult* result, const ProxySettings& proxies,
                                         const std::string& header);
    // A connect-only probe (2 s connect time-out): 0 when a connection was made; else -2, a
    // code of perform or a positive libcurl code of a failed setting.
    static int checkConnect(const std::string& url, const ktProxyParams& proxy);

    // State of the one request; owners read it after perform.
    char errorBuffer[2048];
    CURL* handle;
    std::int32_t stopRequested;
    curl_slist* headerList;
    std::int32_t got200;
    std::int32_t got201;
    long responseCode;
    std::FILE* writeFile;
    std::FILE* readFile;
    std::int32_t writeMode; // a WriteMode
    char* buffer;
    std::uint32_t bufferSize;
    std::uint32_t bufferLength;
    UserWrite userWrite;
    void* userContext;
    bool abortRequested;
    bool captureHostHeaders;
    std::string hostPop;  // cleaned "x-kt-hostpop" reply header
    std::string hostName; // cleaned "x-kt-hostname" reply header

    // libcurl callbacks (public for the C trampolines only).
    std::size_t onHeader(const char* data, std::size_t size, std::size_t count);
    std::size_t onWrite(const char* data, std::size_t size, std::size_t count);
    std::size_t onRead(char* data, std::size_t size, std::size_t count);
    int onProgress(std::int64_t downloaded, std::int64_t uploaded);

private:
    template <typename T>
    int setOption(const char* name, int option, T value);

    // One attempt of the static operations; reached: see originReached.
    static int getOnce(const std::string& url, TransferBuffer& out, const ktProxyParams& proxy,
                       const std::string& header, const std::string& interfaceName, bool& reached);
    static int postOnce(const std::string& url, const TransferBuffer& body, TransferBuffer& reply,
                        const ktProxyParams& proxy, const std::string& interfaceName,
                        const std::vector<std::string>& headers, bool& reached);
    static int measureOnce(const std::string& url, int operation, TransferBuffer& upload,
                           TransferBuffer& download, SpeedTestResult* result,
                           const ktProxyParams& proxy, const std::string& header, bool& reached);

    std::chrono::steady_clock::time_point m_stallWindowStart;
    std::int64_t m_stallWindowBytes = 0;
};
