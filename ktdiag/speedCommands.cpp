// -g and -r: measurements of the network from this machine.

#include "speedCommands.h"

#include "CKTDiag.h"
#include "usage.h"

#include "ktConfig/config.h"
#include "ktDownloader/ktHTTPClient.h"
#include "ktLog/ktLog.h"
#include "ktRestApi/ktproxyapi.h"
#include "ktUtils/stringUtil.h"
#include "ktWinUtils/launchApp.h"
#include "ktmsg2/KTMsg2.h"
#include "ktmsg2/KTMsgIds.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

static const char* const kLogModule = "CKTDiag";

const char* const pktActionNames[5] = {"Invalid", "Tunnel", "Block", "Bypass",
                                       "Bypass at KT Proxy"};

namespace {

constexpr int kPktActionTunnel = 1;
constexpr int kPktActionBypass = 3;
constexpr int kPktActionBypassAtProxy = 4;
constexpr int kPktActionSends = 3;
const char* const kPktActionFailed = "Failed to set packet action\n";

void invalidArgument(const char* argument)
{
    std::printf("Invalid argument: %s, %s\n\n", argument, " ");
    printUsage();
}

// The packet action a mode word asks for; 0 for any other word.
int packetActionOf(const std::string& mode)
{
    if (mode == "bypass") {
        return kPktActionBypass;
    }
    if (mode == "tunnel") {
        return kPktActionTunnel;
    }
    if (mode == "tunnelbypass") {
        return kPktActionBypassAtProxy;
    }
    return 0;
}

// The scheme of url as the HTTP library reads it, in lower case: letters, digits, '+', '-'
// and '.' before a ':' that a '/' follows. Empty when url names none.
std::string schemeOf(const std::string& url)
{
    std::string name;
    for (const char c : url) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            break;
        }
        name += toLowerAscii(c);
    }
    const std::size_t colon = name.size();
    if (name.empty() || colon + 1 >= url.size() || url[colon] != ':' || url[colon + 1] != '/') {
        return std::string();
    }
    return name;
}

// The URL to request: one without a scheme is taken as http, as the HTTP library would take
// it; empty for any scheme but http and https.
std::string requestUrl(const std::string& url)
{
    const std::string scheme = schemeOf(url);
    if (scheme.empty()) {
        // Said here, not left to the library, which would guess ftp for a host "ftp.…".
        return "http://" + url;
    }
    return scheme == "http" || scheme == "https" ? url : std::string();
}

unsigned long ownSessionId()
{
    return getProcessSessionId().value_or(0);
}

KTMsg2 packetActionMessage(int action, const char* clientName, bool enable)
{
    KTMsg2 msg;
    msg.m_msgId = SET_PKT_ACTION;
    msg.AddItem("pktAction", action);
    msg.AddItem("clientName", std::string(clientName));
    msg.AddItem("sessionID", ownSessionId());
    msg.AddItem("ktdiagEnable", enable);
    return msg;
}

} // namespace

void runSpeedTest(char** argv)
{
    int operation = 0;
    const std::string direction = argv[2];
    if (direction == "upload") {
        operation = kSpeedTestUpload;
    } else if (direction == "download") {
        operation = kSpeedTestDownload;
    } else {
        invalidArgument(argv[2]);
        return;
    }
    // Only the first two characters count: "-sz" passes too.
    if (argv[3][0] != '-' || argv[3][1] != 's') {
        invalidArgument(argv[3]);
        return;
    }
    const std::string sizeWord = argv[4];
    std::uint32_t size = 0;
    if (sizeWord == "1mb") {
        size = 1048576;
    } else if (sizeWord == "10mb") {
        size = 10485760;
    } else if (sizeWord == "100mb") {
        size = 104857600;
    } else {
        invalidArgument(argv[4]);
        return;
    }

    Config config;
    config.init();
    CProxyApi proxyApi{std::string()};
    proxyApi.m_config = &config;
    std::printf("Speed Test in progress...\n");
    std::fflush(stdout);
    SpeedTestResult result;
    if (proxyApi.speedTest(operation, size, &result)) {
        std::string speed;
        std::string duration;
        formatSpeed(result, speed);
        formatDuration(result, duration);
        std::printf("%s Speed Test successful for file size = %s.\n", argv[2], argv[4]);
        std::printf("Result: \nThroughput = %s\nTime Elapsed = %s.\n", speed.c_str(),
                    duration.c_str());
    } else {
        std::printf("Failed to perform %s Speed Test for file size = %s.\n", argv[2], argv[4]);
    }
}

void runLatencyTest(int argc, char** argv)
{
    int action = 0;
    if (argc == 5) {
        if (std::strcmp(argv[3], "-m") != 0) {
            printUsage();
            return;
        }
        action = packetActionOf(argv[4]);
        if (action == 0) {
            printUsage();
            return;
        }
    } else if (argc != 3) {
        printUsage();
        return;
    }
    // Any other scheme would have the tool fetch files or talk other protocols.
    const std::string url = requestUrl(argv[2]);
    if (url.empty()) {
        std::printf("Invalid argument: %s, %s\n\n", argv[2],
                    "Only http and https URLs are supported");
        printUsage();
        return;
    }

    CKTDiag diag;
    if (action != 0) {
        diag.start();
        diag.setPacketAction(action);
    }
    LatencyTimes times;
    const int rc = diag.measureLatency(url, times);
    if (rc == 0) {
        std::printf("NameLookupTime: %.4f seconds\n", times.nameLookupTime);
        std::printf("ConnectTime: %.4f seconds\n", times.connectTime);
        std::printf("AppConnectTime: %.4f seconds\n", times.appConnectTime);
        std::printf("PretransferTime: %.4f seconds\n", times.preTransferTime);
        std::printf("StarttransferTime: %.4f seconds\n", times.startTransferTime);
        std::printf("TotalTime: %.4f seconds\n", times.totalTime);
        std::printf("RedirectTime: %.4f seconds\n", times.redirectTime);
        std::printf("DownloadSpeed: %.2f bytes/sec \n", times.downloadSpeed);
    } else {
        std::printf("latency test failed\n");
    }
    // A packet action the service may have taken must not outlive the test, however the
    // request ended. The clear goes even when the set failed: what the service holds is not
    // known here, and a clear never does harm.
    if (action != 0) {
        diag.unsetPacketAction();
    }
}

int CKTDiag::measureLatency(const std::string& url, LatencyTimes& times)
{
    KTHTTPClient client;
    int rc = client.init(true);
    if (rc != 0) {
        return rc;
    }
    // The body is only timed.
    client.writeMode = KTHTTPClient::kWriteDiscard;
    // A server that never answers must not hold the tool, nor the packet action set for it:
    // the connection is bounded here, the transfer by the stall watch of progress mode. A
    // slow transfer that still moves is what is being measured, however long it takes.
    rc = client.setConnectTimeout(std::chrono::milliseconds(m_timeouts.latencyConnectMs));
    if (rc == 0) {
        rc = client.setURL(url);
    }
    if (rc == 0) {
        rc = client.perform();
    }
    if (rc == 0) {
        times.totalTime = client.transferInfo(TransferInfo::totalTime);
        times.downloadSpeed = client.transferInfo(TransferInfo::downloadSpeed);
        times.nameLookupTime = client.transferInfo(TransferInfo::nameLookupTime);
        times.connectTime = client.transferInfo(TransferInfo::connectTime);
        times.startTransferTime = client.transferInfo(TransferInfo::startTransferTime);
        times.appConnectTime = client.transferInfo(TransferInfo::appConnectTime);
        times.preTransferTime = client.transferInfo(TransferInfo::preTransferTime);
        times.redirectTime = client.transferInfo(TransferInfo::redirectTime);
    }
    client.cleanup();
    return rc;
}

bool CKTDiag::setPacketAction(int action)
{
    const KTMsg2 message = packetActionMessage(action, "ktDiag", true);
    for (int attempt = 1; attempt <= kPktActionSends; ++attempt) {
        KTMsg2 msg = message;
        const Outcome outcome = request(msg, RESP_SET_PKT_ACTION, m_timeouts.pktActionMs,
                                        attempt == 1 ? Readiness::quiet : Readiness::none);
        if (outcome != Outcome::notSent) {
            // Success only when the service says so: no answer or a refusal is a failure.
            if (succeeded(outcome, {{}, {}, {kPktActionFailed, "Failed to set packet action"}})) {
                std::printf("Packet action set correctly\n");
            }
            return true;
        }
        KTLOG(KT_LOG_ERROR, "Send Message to merivonsvc failed");
        if (attempt == kPktActionSends) {
            std::fputs(kPktActionFailed, stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(m_timeouts.pktActionRetryMs));
    }
    return false;
}

void CKTDiag::unsetPacketAction()
{
    KTMsg2 msg = packetActionMessage(0, "ktClientUI", false);
    const Outcome outcome =
        request(msg, RESP_SET_PKT_ACTION, m_timeouts.pktActionMs, Readiness::quiet);
    if (succeeded(outcome, {{},
                            {kPktActionFailed, "Send Message to merivonsvc failed"},
                            {kPktActionFailed, "Failed to unset packet action"}})) {
        std::printf("Packet action unset correctly\n");
    }
    m_ktcom.stop();
}
