// -f, -n and -t: the client status, the QPA status, and enabling or disabling the client.

#include "statusCommands.h"

#include "CKTDiag.h"

#include "ktLog/ktLog.h"
#include "ktLog/peerText.h"
#include "ktWinUtils/launchApp.h"
#include "ktmsg2/KTMsg2.h"
#include "ktmsg2/KTMsgIds.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

namespace {

const char* const kTunnelStatusNames[] = {
    "KTTUNNEL_DISCONNECTED",
    "KTTUNNEL_DISCONNECTED_BYUSER",
    "KTTUNNEL_DISCONNECTED_BYADMIN",
    "KTTUNNEL_DISCONNECTED_SF",
    "KTTUNNEL_DISCONNECTED_GRE",
    "KTTUNNEL_DISCONNECTED_IPSEC",
    "KTTUNNEL_DISCONNECTED_DPONPREM",
    "KTTUNNEL_DISCONNECTED_ERROR",
    "KTTUNNEL_DISCONNECTED_CONFIG_NOTREADY",
    "KTTUNNEL_DISCONNECTED_BYUNINSTALL",
    "KTTUNNEL_DISCONNECTED_BYUSER_DISABLE_NE",
    "KTTUNNEL_DISCONNECTED_BYNETWORKCHANGE",
    "KTTUNNEL_DISCONNECTED_SYSTEM_SHUTDOWN",
    "KTTUNNEL_DISCONNECTED_BYCONFIG_CHANGE",
    "KTTUNNEL_DISCONNECTING",
    "KTTUNNEL_DISCONNECTED_FAIL_CLOSED",
    "KTTUNNEL_CONNECTING",
    "KTTUNNEL_CONNECTED",
};

const char* boolText(bool value)
{
    return value ? "TRUE" : "FALSE";
}

// One line "<label>:: <value>.": the value comes from the service or from files others can
// write, so its control characters are shown, never sent to the terminal.
void printStatusLine(const char* label, const std::string& value)
{
    std::fputs(label, stdout);
    std::fputs(":: ", stdout);
    writeEscaped(stdout, value);
    std::fputs(".\n", stdout);
}

// The session id of the tool's process; 0, logged, when it cannot be had.
std::uint32_t processSessionIdOrZero()
{
    return getProcessSessionId(SessionIdFailureLine::processId, "ktUtils", KT_LOG_ERROR)
        .value_or(0);
}

} // namespace

std::string tunnelStatusName(int status)
{
    if (status >= 0 && status < static_cast<int>(std::size(kTunnelStatusNames))) {
        return kTunnelStatusNames[status];
    }
    return std::to_string(status);
}

const char* trafficModeName(int mode)
{
    switch (mode) {
    case 1:
        return "Cloud Apps Only";
    case 2:
        return "All Web Traffic";
    case 3:
        return "All Traffic";
    default:
        return "INVALID";
    }
}

void CKTDiag::getClientStatus()
{
    KTMsg2 msg;
    msg.m_msgId = GET_STATUS;
    const Outcome outcome = request(msg, SET_STATUS, m_timeouts.statusMs, Readiness::reported);
    if (outcome == Outcome::notReady) {
        return;
    }
    // Without an answer the service's fields hold nothing of its own, so their lines are left
    // out; what the tool reads from its own files is still shown.
    const bool answered = succeeded(
        outcome, {{},
                  {"Failed to get client status.\n", "Failed to send GET_STATUS to service"},
                  {"Failed to get client status.\n", "No answer to GET_STATUS from service"}});
    if (outcome == Outcome::notSent) {
        m_ktcom.stop();
        return;
    }
    int tunnelStatus = 0;
    std::string clientStatus, gatewayHost, onpremStatus, explicitProxy, gtwIP, tunnelProtocol;
    if (answered) {
        // Taken as the answer left them; the configuration below loads without the lock,
        // so the worker is never held up by it.
        boost::lock_guard<boost::mutex> lock(m_mutex);
        tunnelStatus = m_tunnelStatus;
        clientStatus = m_clientStatus;
        gatewayHost = m_gatewayHost;
        onpremStatus = m_onpremStatus;
        explicitProxy = m_explicitProxy;
        gtwIP = m_gtwIP;
        tunnelProtocol = m_tunnelProtocol;
    }

    // A failed load is logged by Config; its values then stay at their defaults.
    m_config.init();
    std::string email = m_config.getUserEmail(0);
    const bool perUser = m_config.enablePerUserConfig();
    if (perUser) {
        email = m_config.getUserEmail(processSessionIdOrZero());
    }
    const std::string orgName = m_config.branding().orgName;
    const std::string configName = m_config.clientConfig().configurationName;
    const bool dynamicSteering = m_config.isDynamicSteeringEnabled();
    const bool checkSni = m_config.isCheckSNIEnabled();
    const int trafficMode = m_config.getTrafficMode();

    printStatusLine("Orgname", orgName);
    printStatusLine("Config", configName);
    printStatusLine("Email", email);
    std::printf("Peruser config:: %s.\n", boolText(perUser));
    if (answered) {
        std::printf("Tunnel status:: %s.\n", tunnelStatusName(tunnelStatus).c_str());
        printStatusLine("Client status", clientStatus);
        printStatusLine("Gateway", gatewayHost);
    }
    std::printf("Dynamic Steering:: %s.\n", boolText(dynamicSteering));
    if (answered) {
        printStatusLine("OnPremDetection", onpremStatus);
        printStatusLine("Explicit Proxy", explicitProxy);
        printStatusLine("Gateway IP", gtwIP);
        printStatusLine("Tunnel Protocol", tunnelProtocol);
    }
    std::printf("SNI Enable:: %s.\n", boolText(checkSni));
    std::printf("Traffic Mode:: %s.\n", trafficModeName(trafficMode));
    m_ktcom.stop();
}

void CKTDiag::getQpaStatus()
{
    KTMsg2 msg;
    msg.m_msgId = GET_QPA_STATUS;
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_qpaStatus.clear();
    }
    const Outcome outcome = request(msg, SET_QPA_STATUS, m_timeouts.statusMs, Readiness::reported);
    if (outcome == Outcome::notReady) {
        return;
    }
    // Without an answer an empty status would read as the service's.
    if (succeeded(outcome,
                  {{},
                   {"Failed to get QPA status.\n", "Failed to send GET_QPA_STATUS to service"},
                   {"Failed to get QPA status.\n", "No answer to GET_QPA_STATUS from service"}})) {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        std::fputs("QPA status is ", stdout);
        writeEscaped(stdout, m_qpaStatus);
        std::fputs(".\n", stdout);
    }
    m_ktcom.stop();
}

void CKTDiag::enableClient(bool enable)
{
    KTMsg2 msg;
    msg.m_msgId = SET_STATUS;
    msg.AddItem("status", std::string(enable ? "enable" : "disable"));
    const Outcome outcome = request(msg, ACK_STATUS, m_timeouts.enableMs, Readiness::reported);
    if (outcome == Outcome::notReady) {
        return;
    }
    // Sent is not done: only the service's acknowledgement says it took the request.
    if (succeeded(outcome, {{},
                            {"Enable/disable client failed\n", "Enable/disable client failed"},
                            {"Enable/disable client failed\n",
                             "Enable/disable client failed, no answer from service"}})) {
        std::printf("Enable/disable client successful\n");
    }
    m_ktcom.stop();
}
