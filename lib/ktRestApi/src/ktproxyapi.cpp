#include "ktRestApi/ktproxyapi.h"

#include "ktLog/ktLog.h"

#include <memory>
#include <new>
#include <vector>

static const char* const kLogModule = "ktproxyapi";

namespace {

// Room for the upload's reply, which the test does not read.
constexpr std::uint32_t kUploadReplySize = 65536;

// The label of a payload size, as the URL and the messages name it; null for other sizes.
const char* sizeLabel(std::uint32_t size)
{
    switch (size) {
    case 1048576:
        return "1mb";
    case 10485760:
        return "10mb";
    case 104857600:
        return "100mb";
    default:
        return nullptr;
    }
}

} // namespace

CProxyApi::CProxyApi(const std::string& host) : CRestApi(host) {}

CProxyApi::~CProxyApi() = default;

bool CProxyApi::speedTest(int operation, std::uint32_t size, SpeedTestResult* result)
{
    if (m_config == nullptr) {
        KTLOG(KT_LOG_ERROR, "Speed Test has no configuration");
        return false;
    }
    // Zeroed; released on every path.
    std::unique_ptr<char[]> payload(new (std::nothrow) char[size]());
    if (!payload) {
        KTLOG(KT_LOG_ERROR, "failed to allocate memory of size = %u", size);
        return false;
    }

    m_config->detectAddonProxies();
    ProxySettings proxies = m_config->requestProxySettings();
    proxies.credentials = m_config->getProxyCredentials();

    const char* label = sizeLabel(size);
    if (label == nullptr) {
        KTLOG(KT_LOG_ERROR, "Invalid file size selection");
        return false;
    }
    const std::string host = m_config->speedTestHost();

    TransferBuffer upload;
    TransferBuffer download;
    std::vector<char> reply;
    std::string header;
    std::string url;
    if (operation == kSpeedTestUpload) {
        upload.data = payload.get();
        upload.size = size;
        reply.assign(kUploadReplySize, '\0');
        download.data = reply.data();
        download.size = kUploadReplySize;
        // No "Expect: 100-continue": the body goes out at once.
        header = "Expect:";
        url = "https://" + host + "/uploadsize=" + label;
        KTLOG(KT_LOG_INFO, "Performing upload Speed Test for %s file size", label);
    } else if (operation == kSpeedTestDownload) {
        download.data = payload.get();
        download.size = size;
        url = "https://" + host + "/downloadsize=" + label;
        KTLOG(KT_LOG_INFO, "Performing download Speed Test for %s file size", label);
    } else {
        KTLOG(KT_LOG_ERROR, "Invalid Speed Test operation selected %d.", operation);
        return false;
    }
    if (host.empty()) {
        KTLOG(KT_LOG_ERROR, "Speed Test host is not configured");
        return false;
    }

    const int rc = KTHTTPClient::measureTransferViaProxies(url, operation, upload, download, result,
                                                           proxies, header);
    if (rc != 0) {
        KTLOG(KT_LOG_ERROR, "Speed Test failed, operationType = %d Error: %d", operation, rc);
        return false;
    }
    std::string speed;
    std::string duration;
    formatSpeed(*result, speed);
    formatDuration(*result, duration);
    KTLOG(KT_LOG_INFO,
          "Speed Test Successful for %s file size. Throughput = %s, elapsed time = %s.", label,
          speed.c_str(), duration.c_str());
    return true;
}
