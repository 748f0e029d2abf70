// -c, -p and -d: captures that the service writes into its own output folder.

#include "captureCommands.h"

#include "CKTDiag.h"
#include "usage.h"

#include "ktConfig/ConfigSync.h"
#include "ktLog/ktLog.h"
#include "ktmsg2/KTMsg2.h"
#include "ktmsg2/KTMsgIds.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char* const kLogModule = "CKTDiag";

namespace {

const char* const kClientName = "ktDiag";
const char kForbidden[] = {' ', '&', ';', '|', '!', '>', '<', '^',
                           '$', '%', '`', '~', ',', '~', '@'};

void invalidArgument(const char* argument, const char* reason)
{
    std::printf("Invalid argument: %s, %s\n\n", argument, reason);
    printUsage();
}

bool isOption(const char* argument)
{
    return std::strlen(argument) == 2 && argument[0] == '-';
}

// argv[index] when the command line has it; a missing value reads as absent.
const char* argumentAt(int argc, char** argv, int index)
{
    return index < argc ? argv[index] : "";
}

bool fileNameAllowed(const std::string& name)
{
    if (name.find_first_of("/\\") != std::string::npos || name == "." || name == "..") {
        invalidArgument(name.c_str(), " Argument should be file name only, not a path");
        return false;
    }
    for (char ch : name) {
        // ':' would name an alternate stream or a drive.
        if (ch == ':' || std::memchr(kForbidden, ch, sizeof kForbidden) != nullptr) {
            invalidArgument(name.c_str(), " Special characters are there in file name");
            return false;
        }
    }
    return true;
}

// The -o and -s options of a capture start; false (printed) when they are wrong.
bool readStartOptions(int argc, char** argv, std::string& name, int& number,
                      std::string& numberText)
{
    if (argc >= 6) {
        if (!isOption(argv[3])) {
            invalidArgument(argv[3], " ");
            return false;
        }
        if (!isOption(argv[5])) {
            invalidArgument(argv[5], " ");
            return false;
        }
        const std::string first = argv[3];
        const std::string second = argv[5];
        if (first == "-o" && second == "-s") {
            name = argv[4];
            numberText = argumentAt(argc, argv, 6);
        } else if (first == "-s" && second == "-o") {
            numberText = argv[4];
            name = argumentAt(argc, argv, 6);
        } else {
            invalidArgument(first == "-o" || first == "-s" ? argv[5] : argv[3], " ");
            return false;
        }
    } else if (argc >= 4) {
        const std::string option = argv[3];
        if (option == "-o") {
            name = argumentAt(argc, argv, 4);
        } else if (option == "-s") {
            numberText = argumentAt(argc, argv, 4);
        } else {
            invalidArgument(argv[3], " ");
            return false;
        }
    }
    number = std::atoi(numberText.c_str());
    return true;
}

// The file name and number of a capture start, checked; false (printed) when they are wrong.
bool readCheckedStartOptions(int argc, char** argv, std::string& name, int& number,
                             std::string& numberText)
{
    return readStartOptions(argc, argv, name, number, numberText) &&
           (name.empty() || fileNameAllowed(name));
}

void startInner(CKTDiag& diag, int argc, char** argv)
{
    std::string name;
    int number = 0;
    std::string numberText;
    if (!readCheckedStartOptions(argc, argv, name, number, numberText)) {
        return;
    }
    // A negative snap length would reach the service as a huge unsigned one.
    if (number < 0) {
        invalidArgument(numberText.c_str(), " ");
        return;
    }
    diag.startPacketCapture(name, static_cast<unsigned int>(number));
}

void startOuter(CKTDiag& diag, int argc, char** argv)
{
    std::string name;
    int number = 0;
    std::string numberText;
    if (readCheckedStartOptions(argc, argv, name, number, numberText)) {
        diag.startOuterPacketCapture(name, number);
    }
}

void startDriver(CKTDiag& diag, int argc, char** argv)
{
    std::string name;
    if (argc >= 6) {
        invalidArgument(argv[5], " ");
        return;
    }
    if (argc >= 4) {
        if (std::strcmp(argv[3], "-o") != 0) {
            invalidArgument(argv[3], " ");
            return;
        }
        name = argumentAt(argc, argv, 4);
    }
    if (!name.empty() && !fileNameAllowed(name)) {
        return;
    }
    diag.startDriverLogCapture(name);
}

// One capture option: its log lines and what its start and stop do.
struct CaptureCommand {
    const char* startLine;
    const char* stopLine;
    void (*start)(CKTDiag& diag, int argc, char** argv); // reads and checks the options first
    void (*stop)(CKTDiag& diag);
};

const CaptureCommand kInnerCommand = {"Start packet capture", "Stop packet capture", startInner,
                                      [](CKTDiag& diag) { diag.stopPacketCapture(); }};
const CaptureCommand kOuterCommand = {"Start packet capture", "Stop packet capture", startOuter,
                                      [](CKTDiag& diag) { diag.stopOuterPacketCapture(); }};
const CaptureCommand kDriverCommand = {"Start driver log capture.", "Stop driver log capture.",
                                       startDriver,
                                       [](CKTDiag& diag) { diag.stopDriverLogCapture(); }};

void handleCapture(int argc, char** argv, const CaptureCommand& command)
{
    CKTDiag diag;
    diag.start();
    const std::string action = argv[2];
    if (action == "start") {
        KTLOG(KT_LOG_INFO, "%s", command.startLine);
        command.start(diag, argc, argv);
    } else if (action == "stop") {
        KTLOG(KT_LOG_INFO, "%s", command.stopLine);
        command.stop(diag);
    } else {
        invalidArgument(argv[2], " ");
    }
}

} // namespace

void handlePacketCapture(int argc, char** argv, bool outer)
{
    handleCapture(argc, argv, outer ? kOuterCommand : kInnerCommand);
}

void handleDriverLogCapture(int argc, char** argv)
{
    handleCapture(argc, argv, kDriverCommand);
}

// One capture operation: the status query that opens it (outer and driver-log only), its
// request and reply, and what it prints and logs.
struct CaptureOperation {
    bool start;
    // The status query; null for the inner capture, whose request instead waits silently for
    // the link. An operation with a query waits for the link before the query, reporting a
    // failure, and sends its request at once after it.
    bool (*query)(CConfigSync& sync);
    int queryReplyId;
    RequestReport queryNotSent;
    RequestReport refused;   // a start while a capture runs, a stop while none does
    const char* defaultName; // for an empty file name; null: none
    long long defaultNumber; // for a number of 0
    const char* requestLog;  // at level 4 with the file name; null: none
    bool (*send)(CConfigSync& sync, const std::string& name, long long number);
    int replyId;
    int KTDiagTimeouts::*timeout;
    const char* sentText; // once sent, before the wait; null: none
    RequestReports reports;
    const char* doneText;
    bool stopsLink;
};

namespace {

bool queryOuter(CConfigSync& sync)
{
    return sync.getOuterPacketCaptureStatus(kClientName);
}

bool queryDriver(CConfigSync& sync)
{
    return sync.getDriverLogCaptureStatus(kClientName);
}

// The inner capture's messages carry neither session nor client name.
bool sendInnerStart(CConfigSync& sync, const std::string& name, long long snapLength)
{
    KTMsg2 msg;
    msg.m_msgId = START_PKT_CAPTURE;
    msg.AddItem("Capture", name);
    msg.AddItem("snapLen", static_cast<unsigned int>(snapLength));
    msg.AddItem("qpaInternalCapture", std::string("qpatunnel.pcap"));
    msg.AddItem("qpaSnapLen", static_cast<unsigned int>(snapLength));
    return sync.sendMessage(msg);
}

bool sendInnerStop(CConfigSync& sync, const std::string& /*name*/, long long /*number*/)
{
    KTMsg2 msg;
    msg.m_msgId = STOP_PKT_CAPTURE;
    return sync.sendMessage(msg);
}

bool sendOuterStart(CConfigSync& sync, const std::string& name, long long size)
{
    return sync.startOuterPacketCapture(kClientName, name, static_cast<int>(size));
}

bool sendOuterStop(CConfigSync& sync, const std::string& /*name*/, long long /*number*/)
{
    return sync.stopOuterPacketCapture(kClientName);
}

bool sendDriverStart(CConfigSync& sync, const std::string& name, long long /*number*/)
{
    return sync.startDriverLogCapture(kClientName, name);
}

bool sendDriverStop(CConfigSync& sync, const std::string& /*name*/, long long /*number*/)
{
    return sync.stopDriverLogCapture(kClientName);
}

const char* const kSendFailed = "Send Message to merivonsvc failed";
const char* const kNoLink = "Failed to connect with Service.\n";

enum CaptureRow { innerStart, innerStop, outerStart, outerStop, driverStart, driverStop };

const CaptureOperation kCaptures[] = {
    // innerStart
    {true,
     nullptr,
     0,
     {},
     {},
     "ktpktdump.pcap",
     0,
     "Capture packt dump to %s file",
     sendInnerStart,
     RESP_START_PKT_CAPTURE,
     &KTDiagTimeouts::captureMs,
     nullptr,
     {{}, {"Failed to start packet capture\n", kSendFailed}, {"Failed to start packet capture\n"}},
     "Packet capture started successfully\n",
     true},
    // innerStop
    {false,
     nullptr,
     0,
     {},
     {},
     nullptr,
     0,
     nullptr,
     sendInnerStop,
     RESP_STOP_PKT_CAPTURE,
     &KTDiagTimeouts::captureMs,
     nullptr,
     {{}, {"Failed to stop packet capture\n", kSendFailed}, {"Failed to stop packet capture\n"}},
     "Packet capture stopped successfully\n",
     true},
    // outerStart
    {true,
     queryOuter,
     RESP_OUTER_PKT_CAPTURE_STATUS,
     {"Failed to get outer packet capture status.\n",
      "Failed to check for active outer packet capture session."},
     {"Outer packet capture is already in progress.\n",
      "Outer packet capture is already in progress."},
     "ktouterpktdump.etl",
     10,
     nullptr,
     sendOuterStart,
     RESP_START_OUTER_PKT_CAPTURE,
     &KTDiagTimeouts::captureMs,
     nullptr,
     {{},
      {kNoLink, "Send msg to merivonsvc failed. Failed to start outer packet capture."},
      {"Failed to start outer packet capture.\n", "Failed to start outer packet capture."}},
     "Outer packet capture started successfully.\n",
     false},
    // outerStop
    {false,
     queryOuter,
     RESP_OUTER_PKT_CAPTURE_STATUS,
     {"Failed to get outer packet capture status.\n",
      "Failed to check for active outer packet capture session."},
     {"No outer packet capture in progress.\n",
      "Failed to stop outer packet capture. No session in progress."},
     nullptr,
     0,
     nullptr,
     sendOuterStop,
     RESP_STOP_OUTER_PKT_CAPTURE,
     &KTDiagTimeouts::outerStopMs,
     "Stopping outer packet capture...\n",
     {{},
      {kNoLink, "Failed to stop outer packet capture."},
      {"Failed to stop outer packet capture.\n", "Failed to stop outer packet capture."}},
     "Outer packet capture stopped successfully.\n",
     false},
    // driverStart
    {true,
     queryDriver,
     RESP_DRIVER_LOG_CAPTURE_STATUS,
     {"Failed to get driver log capture status.\n", "Failed to get driver log status."},
     {"Driver log capture is already in progress.\n", "Driver log capture is already in progress."},
     "ktDriverLogs.etl",
     0,
     nullptr,
     sendDriverStart,
     RESP_START_DRIVER_LOG_CAPTURE,
     &KTDiagTimeouts::captureMs,
     nullptr,
     {{},
      {kNoLink, "Failed to send msg to RizazudAre. Driver Log start failed."},
      {"Failed to start driver log capture.\n", "Failed to start driver log capture."}},
     "Driver log capture started successfully.\n",
     false},
    // driverStop
    {false,
     queryDriver,
     RESP_DRIVER_LOG_CAPTURE_STATUS,
     {"Failed to stop driver log capture.\n",
      "Send msg to RizazudAre failed. Cannot fetch driver log status."},
     {"No driver log capture in progress.\n",
      "Failed to stop driver log capture since no active session is present."},
     nullptr,
     0,
     nullptr,
     sendDriverStop,
     RESP_STOP_DRIVER_LOG_CAPTURE,
     &KTDiagTimeouts::captureMs,
     nullptr,
     {{},
      {"Failed to stop driver log capture.\n",
       "Send msg to RizazudAre failed. Failed to stop driver log capture."},
      {"Failed to stop driver log capture.\n", "Failed to stop driver log capture."}},
     "Driver log capture stopped successfully.\n",
     false},
};

} // namespace

void CKTDiag::runCapture(const CaptureOperation& op, std::string& fileName, long long number)
{
    Readiness readiness = Readiness::quiet;
    if (op.query != nullptr) {
        const Outcome status =
            request(op.query, op.queryReplyId, m_timeouts.captureMs, Readiness::reported);
        if (status == Outcome::notSent) {
            report(op.queryNotSent);
        }
        if (status == Outcome::notReady || status == Outcome::notSent) {
            return;
        }
        // No answer reads as no capture in progress.
        if ((status == Outcome::granted) == op.start) {
            report(op.refused);
            return;
        }
        readiness = Readiness::none;
    }
    if (fileName.empty() && op.defaultName != nullptr) {
        fileName = op.defaultName;
    }
    if (number == 0) {
        number = op.defaultNumber;
    }
    if (op.requestLog != nullptr) {
        KTLOG(KT_LOG_INFO, op.requestLog, fileName.c_str());
    }
    const auto send = [&](CConfigSync& sync) {
        if (!op.send(sync, fileName, number)) {
            return false;
        }
        if (op.sentText != nullptr) {
            std::fputs(op.sentText, stdout);
            std::fflush(stdout);
        }
        return true;
    };
    if (succeeded(request(send, op.replyId, m_timeouts.*op.timeout, readiness), op.reports)) {
        std::fputs(op.doneText, stdout);
    }
    if (op.stopsLink) {
        m_ktcom.stop();
    }
}

void CKTDiag::startPacketCapture(const std::string& fileName, unsigned int snapLength)
{
    m_config.init();
    if (m_config.clientConfig().enablePktDump) {
        std::printf("Packet capture already in progress.");
        m_ktcom.stop();
        return;
    }
    std::string name = fileName;
    runCapture(kCaptures[innerStart], name, snapLength);
}

void CKTDiag::stopPacketCapture()
{
    std::string name;
    runCapture(kCaptures[innerStop], name, 0);
}

void CKTDiag::startOuterPacketCapture(std::string& fileName, int size)
{
    runCapture(kCaptures[outerStart], fileName, size);
}

void CKTDiag::stopOuterPacketCapture()
{
    std::string name;
    runCapture(kCaptures[outerStop], name, 0);
}

void CKTDiag::startDriverLogCapture(std::string& fileName)
{
    runCapture(kCaptures[driverStart], fileName, 0);
}

void CKTDiag::stopDriverLogCapture()
{
    std::string name;
    runCapture(kCaptures[driverStop], name, 0);
}
