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
#include <memory>
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

} // namespace

void handlePacketCapture(int argc, char** argv, bool outer)
{
    CKTDiag diag;
    diag.start();
    const std::string action = argv[2];
    if (action == "start") {
        KTLOG(KT_LOG_INFO, "Start packet capture");
        std::string name;
        int number = 0;
        std::string numberText;
        if (!readStartOptions(argc, argv, name, number, numberText)) {
            return;
        }
        if (!name.empty() && !fileNameAllowed(name)) {
            return;
        }
        if (outer) {
            diag.startOuterPacketCapture(name, number);
            return;
        }
        // A negative snap length would reach the service as a huge unsigned one.
        if (number < 0) {
            invalidArgument(numberText.c_str(), " ");
            return;
        }
        diag.startPacketCapture(name, static_cast<unsigned int>(number));
    } else if (action == "stop") {
        KTLOG(KT_LOG_INFO, "Stop packet capture");
        if (outer) {
            diag.stopOuterPacketCapture();
        } else {
            diag.stopPacketCapture();
        }
    } else {
        invalidArgument(argv[2], " ");
    }
}

void handleDriverLogCapture(int argc, char** argv)
{
    CKTDiag diag;
    diag.start();
    const std::string action = argv[2];
    if (action == "start") {
        KTLOG(KT_LOG_INFO, "Start driver log capture.");
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
    } else if (action == "stop") {
        KTLOG(KT_LOG_INFO, "Stop driver log capture.");
        diag.stopDriverLogCapture();
    } else {
        invalidArgument(argv[2], " ");
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
    const std::string capture = fileName.empty() ? "ktpktdump.pcap" : fileName;
    KTLOG(KT_LOG_INFO, "Capture packt dump to %s file", capture.c_str());
    KTMsg2 msg;
    msg.m_msgId = START_PKT_CAPTURE;
    msg.AddItem("Capture", capture);
    msg.AddItem("snapLen", snapLength);
    msg.AddItem("qpaInternalCapture", std::string("qpatunnel.pcap"));
    msg.AddItem("qpaSnapLen", snapLength);
    std::string text;
    msg.detach(text);
    // start does not wait for the connection; a send before it could never succeed.
    awaitReady();
    expectReply(RESP_START_PKT_CAPTURE);
    if (m_ktcom.SendMsg(text, std::string())) {
        if (waitForReply(m_timeouts.captureMs)) {
            std::printf("Packet capture started successfully\n");
        } else {
            std::printf("Failed to start packet capture\n");
        }
    } else {
        std::printf("Failed to start packet capture\n");
        KTLOG(KT_LOG_ERROR, "Send Message to merivonsvc failed");
    }
    m_ktcom.stop();
}

void CKTDiag::stopPacketCapture()
{
    KTMsg2 msg;
    msg.m_msgId = STOP_PKT_CAPTURE;
    std::string text;
    msg.detach(text);
    awaitReady();
    expectReply(RESP_STOP_PKT_CAPTURE);
    if (m_ktcom.SendMsg(text, std::string())) {
        if (waitForReply(m_timeouts.captureMs)) {
            std::printf("Packet capture stopped successfully\n");
        } else {
            std::printf("Failed to stop packet capture\n");
        }
    } else {
        std::printf("Failed to stop packet capture\n");
        KTLOG(KT_LOG_ERROR, "Send Message to merivonsvc failed");
    }
    m_ktcom.stop();
}

bool CKTDiag::queryCaptureStatus(CaptureKind kind, bool& inProgress)
{
    const bool outer = kind == CaptureKind::outer;
    bool& field = outer ? m_outerCaptureStatus : m_driverCaptureStatus;
    CConfigSync sync(&m_ktcom);
    clearField(field);
    expectReply(outer ? RESP_OUTER_PKT_CAPTURE_STATUS : RESP_DRIVER_LOG_CAPTURE_STATUS);
    const bool sent = outer ? sync.getOuterPacketCaptureStatus(kClientName)
                            : sync.getDriverLogCaptureStatus(kClientName);
    if (!sent) {
        return false;
    }
    waitForReply(m_timeouts.captureMs);
    inProgress = readField(field);
    clearField(field);
    return true;
}

void CKTDiag::startOuterPacketCapture(std::string& fileName, int size)
{
    if (!waitForService()) {
        return;
    }
    bool inProgress = false;
    if (!queryCaptureStatus(CaptureKind::outer, inProgress)) {
        std::printf("Failed to get outer packet capture status.\n");
        KTLOG(KT_LOG_ERROR, "Failed to check for active outer packet capture session.");
        return;
    }
    if (inProgress) {
        std::printf("Outer packet capture is already in progress.\n");
        KTLOG(KT_LOG_ERROR, "Outer packet capture is already in progress.");
        return;
    }
    if (size == 0) {
        size = 10;
    }
    if (fileName.empty()) {
        fileName = "ktouterpktdump.etl";
    }
    auto sync = std::make_unique<CConfigSync>(&m_ktcom);
    expectReply(RESP_START_OUTER_PKT_CAPTURE);
    if (!sync->startOuterPacketCapture(kClientName, fileName, size)) {
        std::printf("Failed to connect with Service.\n");
        KTLOG(KT_LOG_ERROR, "Send msg to merivonsvc failed. Failed to start outer packet capture.");
        return;
    }
    waitForReply(m_timeouts.captureMs);
    if (readField(m_outerCaptureStatus)) {
        std::printf("Outer packet capture started successfully.\n");
    } else {
        std::printf("Failed to start outer packet capture.\n");
        KTLOG(KT_LOG_ERROR, "Failed to start outer packet capture.");
    }
}

void CKTDiag::stopOuterPacketCapture()
{
    if (!waitForService()) {
        return;
    }
    bool inProgress = false;
    if (!queryCaptureStatus(CaptureKind::outer, inProgress)) {
        std::printf("Failed to get outer packet capture status.\n");
        KTLOG(KT_LOG_ERROR, "Failed to check for active outer packet capture session.");
        return;
    }
    if (!inProgress) {
        std::printf("No outer packet capture in progress.\n");
        KTLOG(KT_LOG_ERROR, "Failed to stop outer packet capture. No session in progress.");
        return;
    }
    auto sync = std::make_unique<CConfigSync>(&m_ktcom);
    expectReply(RESP_STOP_OUTER_PKT_CAPTURE);
    if (!sync->stopOuterPacketCapture(kClientName)) {
        std::printf("Failed to connect with Service.\n");
        KTLOG(KT_LOG_ERROR, "Failed to stop outer packet capture.");
        return;
    }
    std::printf("Stopping outer packet capture...\n");
    std::fflush(stdout);
    waitForReply(m_timeouts.outerStopMs);
    if (readField(m_outerCaptureStatus)) {
        std::printf("Outer packet capture stopped successfully.\n");
    } else {
        std::printf("Failed to stop outer packet capture.\n");
        KTLOG(KT_LOG_ERROR, "Failed to stop outer packet capture.");
    }
}

void CKTDiag::startDriverLogCapture(std::string& fileName)
{
    if (!waitForService()) {
        return;
    }
    bool inProgress = false;
    if (!queryCaptureStatus(CaptureKind::driver, inProgress)) {
        std::printf("Failed to get driver log capture status.\n");
        KTLOG(KT_LOG_ERROR, "Failed to get driver log status.");
        return;
    }
    if (inProgress) {
        std::printf("Driver log capture is already in progress.\n");
        KTLOG(KT_LOG_ERROR, "Driver log capture is already in progress.");
        return;
    }
    if (fileName.empty()) {
        fileName = "ktDriverLogs.etl";
    }
    auto sync = std::make_unique<CConfigSync>(&m_ktcom);
    expectReply(RESP_START_DRIVER_LOG_CAPTURE);
    if (!sync->startDriverLogCapture(kClientName, fileName)) {
        std::printf("Failed to connect with Service.\n");
        KTLOG(KT_LOG_ERROR, "Failed to send msg to RizazudAre. Driver Log start failed.");
        return;
    }
    waitForReply(m_timeouts.captureMs);
    if (readField(m_driverCaptureStatus)) {
        std::printf("Driver log capture started successfully.\n");
    } else {
        std::printf("Failed to start driver log capture.\n");
        KTLOG(KT_LOG_ERROR, "Failed to start driver log capture.");
    }
}

void CKTDiag::stopDriverLogCapture()
{
    if (!waitForService()) {
        return;
    }
    bool inProgress = false;
    if (!queryCaptureStatus(CaptureKind::driver, inProgress)) {
        std::printf("Failed to stop driver log capture.\n");
        KTLOG(KT_LOG_ERROR, "Send msg to RizazudAre failed. Cannot fetch driver log status.");
        return;
    }
    if (!inProgress) {
        std::printf("No driver log capture in progress.\n");
        KTLOG(KT_LOG_ERROR,
              "Failed to stop driver log capture since no active session is present.");
        return;
    }
    auto sync = std::make_unique<CConfigSync>(&m_ktcom);
    expectReply(RESP_STOP_DRIVER_LOG_CAPTURE);
    if (!sync->stopDriverLogCapture(kClientName)) {
        std::printf("Failed to stop driver log capture.\n");
        KTLOG(KT_LOG_ERROR, "Send msg to RizazudAre failed. Failed to stop driver log capture.");
        return;
    }
    waitForReply(m_timeouts.captureMs);
    if (readField(m_driverCaptureStatus)) {
        std::printf("Driver log capture stopped successfully.\n");
    } else {
        std::printf("Failed to stop driver log capture.\n");
        KTLOG(KT_LOG_ERROR, "Failed to stop driver log capture.");
    }
}
