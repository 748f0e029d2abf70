#pragma once
// One command's session with the client service: owns the service client and the
// configuration, receives the service's replies on the client's worker thread and hands
// them to the command's thread, which waits for the reply it asked for.

#include "ktConfig/config.h"
#include "ktLog/ktLog.h"
#include "ktcom2/KTCom2.h"

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include <functional>
#include <optional>
#include <string>

struct LatencyTimes;

// Waits of the commands in milliseconds; the defaults are the service's answer times.
struct KTDiagTimeouts {
    int readyMs = 5000;
    int captureMs = 30000;         // inner capture, capture status, starts, driver stop
    int outerStopMs = 120000;      // outer capture stop
    int configCheckMs = 12000;     // configuration update check
    int configDownloadMs = 120000; // configuration download
    int diagMs = 30000;            // the service's own diagnostics
    int statusMs = 10000;          // client status and QPA status
    int enableMs = 5000;           // enable or disable
    int pktActionMs = 30000;       // packet action set or clear
    int pktActionRetryMs = 1000;   // after each failed send of a packet action
    int latencyConnectMs = 10000;  // the timed request of -r: its connection, TLS included
};

// A line printed (none when null) and a line logged at level 2 (none when null).
struct RequestReport {
    const char* printed = nullptr;
    const char* logged = nullptr;
};

// What a command prints and logs when its request fails.
struct RequestReports {
    RequestReport notReady = {}; // after the readiness wait's own line
    RequestReport notSent = {};
    RequestReport failed = {}; // no answer, or the answer no
};

class CConfigSync;
class KTMsg2;
class UserFolderReader;
struct CaptureOperation;

class CKTDiag : public IKTCom2Listener {
public:
    CKTDiag();
    // Stops and joins the service client before any field goes.
    ~CKTDiag();
    CKTDiag(const CKTDiag&) = delete;
    CKTDiag& operator=(const CKTDiag&) = delete;

    // Only before start.
    void setTimeouts(const KTDiagTimeouts& timeouts) { m_timeouts = timeouts; }

    // Starts the service client under "ktDiag_s<session>"; does not wait; always true.
    bool start();
    // True once the link is ready; otherwise prints and logs the failure.
    bool waitForService();

    void startPacketCapture(const std::string& fileName, unsigned int snapLength);
    void stopPacketCapture();
    void startOuterPacketCapture(std::string& fileName, int size);
    void stopOuterPacketCapture();
    void startDriverLogCapture(std::string& fileName);
    void stopDriverLogCapture();

    void updateConfig();
    // -l and -m: hand the level or the size to the service, once the link is ready; no
    // answer is awaited.
    void setLogLevel(KtLogLevel level);
    void setLogFileSize(int size);

    // -f, -n and -t: print the client status, the QPA status, or enable (true) or disable
    // the client; each stops the service client when it has sent its request.
    void getClientStatus();
    void getQpaStatus();
    void enableClient(bool enable);

    // One timed request to url into times (filled only on success); 0, or the code of the
    // HTTP client step that failed.
    int measureLatency(const std::string& url, LatencyTimes& times);
    // Asks the service to apply action to this tool's traffic, once the link is ready; up
    // to three sends. True when a request was sent. Leaves the link running.
    bool setPacketAction(int action);
    // Clears the packet action (one send), then stops the link.
    void unsetPacketAction();

    // Collects the diagnostics archive into archiveName (replaced if it exists); the
    // upload form caps the capture and dump files by size. Stops the service client. True
    // when the archive was written.
    bool collectLogs(const std::string& archiveName, bool forUpload);
    // Where the last collectLogs kept a finished archive that could not take archiveName (a
    // hidden name beside it); empty when there is none.
    const std::string& keptArchive() const { return m_keptArchive; }
    // Decrypts the protected form (".enc") of source and writes the plain text, cut at its
    // first zero byte, to destFolder/fileName, replacing a file there; writtenPath then
    // holds that path. False, logged, when it cannot be read or written.
    static bool copyProtectedFile(const std::string& source, const std::string& fileName,
                                  const std::string& destFolder, std::string& writtenPath);
    // Writes the system's facts (systeminfo) into outputFile, made new (as root, whatever
    // holds the name is moved aside); nothing runs, logged, when it cannot be made.
    static void getSystemInfo(const std::string& outputFile);
    // The same for the list of installed programs.
    static void getInstalledApps(const std::string& outputFile);

    void onMessage(const std::string& message, const std::string& peer) override;
    void onConnected() override;
    void onError(int code, const std::string& peer) override;
    void onDisconnected(int code, const std::string& peer) override;

private:
    // How a request waits for the link before its message goes.
    enum class Readiness {
        none,     // not at all: an earlier request of the same command waited
        quiet,    // up to the readiness time, silently; the message goes whatever came of it
        reported, // as waitForService: when the link is not ready, nothing goes
    };
    // What came of a request.
    enum class Outcome {
        notReady, // Readiness::reported and the link never came: printed and logged
        notSent,  // the message did not go
        sent,     // it went, and no reply was awaited
        noAnswer, // the awaited reply did not come in time, or the link failed first
        refused,  // the awaited reply came with a false status
        granted,  // the awaited reply came with a true status, or carries none
    };
    // A reply whose answer is its "status" item.
    struct StatusReply {
        int id;
        bool CKTDiag::*field; // keeps the answer, cleared when the reply is awaited; null: none
        const char* logLine;  // logged with the answer as 0 or 1
    };
    using ReplyLock = boost::unique_lock<boost::mutex>;

    // The one way a command asks the service: waits for the link as readiness says, sends
    // through send (a CConfigSync request, or sendMessage of the command's own message) and,
    // unless replyId is kNoReply, waits up to timeoutMs for that reply or the link's failure.
    static constexpr int kNoReply = 0;
    Outcome request(const std::function<bool(CConfigSync&)>& send, int replyId, int timeoutMs,
                    Readiness readiness);
    // The same for a message the command built, which the send empties.
    Outcome request(KTMsg2& msg, int replyId, int timeoutMs, Readiness readiness);

    // True when outcome is granted, or sent where no reply was awaited; otherwise prints and
    // logs the failure as reports says.
    static bool succeeded(Outcome outcome, const RequestReports& reports);
    static void report(const RequestReport& lines);

    // Waits for the link like waitForService, silently; true when ready.
    bool awaitReady();
    // Registers replyId as awaited; call before the request is sent, so an early reply
    // is kept.
    void expectReply(int replyId);
    // Waits up to timeoutMs for the awaited reply or the link's failure, and judges it.
    Outcome waitForReply(int timeoutMs);
    bool readField(const bool& field);
    void clearField(bool& field);

    // One row of the capture table (captureCommands.cpp) with the command line's name and
    // number: the status query where the row has one, the request, its lines.
    void runCapture(const CaptureOperation& operation, std::string& fileName, long long number);

    // The steps of onMessage. Each reads its reply, takes lock (held when it returns) to store
    // what the reply carries, and returns the reply's answer; storeReply gives none, and takes
    // no lock, for an id this tool ignores.
    std::optional<bool> storeReply(KTMsg2& msg, ReplyLock& lock);
    static const StatusReply* findStatusReply(int id);
    bool storeStatusReply(KTMsg2& msg, const StatusReply& reply, ReplyLock& lock);
    bool storeClientStatus(KTMsg2& msg, ReplyLock& lock);
    bool logTunnelStatus(KTMsg2& msg, ReplyLock& lock);
    bool storeUpdateReply(KTMsg2& msg, ReplyLock& lock);
    bool storeQpaStatus(KTMsg2& msg, ReplyLock& lock);

    // collectLogs without its guard against exceptions.
    bool collect(const std::string& archiveName, bool forUpload);
    // With per-user folders on, adds the entry of the tool's session to the configuration
    // and opens its folder into userFolder when that is the user's own (a user that cannot
    // be acted as has the common folder, which stays closed); true when the user's folder
    // must be left out (its user cannot be had after all).
    bool openUserFolder(const std::string& programDataFolder, UserFolderReader& userFolder);
    // Asks the service to put its diagnostics into folder and waits for its answer, once
    // the link is ready; then stops the service client.
    void requestServiceDiagnostics(const std::string& folder);

    CKTCom2 m_ktcom;
    Config m_config;
    KTDiagTimeouts m_timeouts;
    std::string m_keptArchive; // of the collecting thread only

    boost::mutex m_mutex; // guards every field below
    boost::condition_variable m_cond;
    int m_awaitedId = 0;          // the reply the command waits for; 0 none
    bool m_awaitedCame = false;   // that reply arrived
    bool m_awaitedStatus = false; // m_replyReceived as that reply left it
    bool m_linkFailed = false;    // an error since start or since the awaited reply was registered
    bool m_replyReceived = false;
    bool m_updateStatus = false;
    bool m_updateAvailable = false;
    bool m_ready = false;
    bool m_outerCaptureStatus = false;
    bool m_driverCaptureStatus = false;
    bool m_pktActionStatus = false;
    std::string m_qpaStatus;
    int m_tunnelStatus = 0;
    std::string m_clientStatus;
    std::string m_gatewayHost;
    std::string m_onpremStatus;
    std::string m_gtwIP;
    std::string m_tunnelProtocol;
    std::string m_explicitProxy;
};
