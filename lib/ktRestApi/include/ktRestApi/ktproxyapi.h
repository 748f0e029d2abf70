#pragma once
// The speed test: one timed upload or download of 1, 10 or 100 MB against the speed-test
// host, through the configuration's proxies.

#include "ktDownloader/ktHTTPClient.h"
#include "ktDownloader/proxyParams.h"
#include "ktRestApi/restapi.h"

#include <cstdint>
#include <string>

// The configuration as the speed test reads it. Config implements it (it lives above this
// library); each call takes the configuration's own locks.
class SpeedTestConfig {
public:
    // Refreshes the request proxy settings for the add-on service's default host.
    virtual void detectAddonProxies() = 0;
    // A copy of the request proxy settings.
    virtual ProxySettings requestProxySettings() = 0;
    // The stored proxy credentials in plain text, or empty. A secret: never log it.
    virtual std::string getProxyCredentials() = 0;
    // The speed-test host (host, or host:port); empty when none is configured.
    virtual std::string speedTestHost() = 0;

protected:
    ~SpeedTestConfig() = default;
};

class CProxyApi : public CRestApi {
public:
    // host: kept for the caller, as CRestApi keeps it; the speed test does not read it.
    explicit CProxyApi(const std::string& host);
    ~CProxyApi() override;

    // kSpeedTestUpload uploads, kSpeedTestDownload downloads size bytes (1048576, 10485760
    // or 104857600) to or from https://<speed-test host>/uploadsize=<label> or
    // /downloadsize=<label>; result (the caller's, started empty) gets what was measured.
    // False, logged, for any other operation and for any failure. Needs m_config.
    bool speedTest(int operation, std::uint32_t size, SpeedTestResult* result);

    SpeedTestConfig* m_config = nullptr; // not owned: the command's configuration
};
