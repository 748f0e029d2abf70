#pragma once
// -g and -r: the speed test, and one timed request with an optional packet action.

// The packet actions, indexed by their value on the wire.
extern const char* const pktActionNames[5];

// libcurl's timing values of one request: seconds, and bytes per second for the speed.
struct LatencyTimes {
    double totalTime = 0.0;
    double downloadSpeed = 0.0;
    double nameLookupTime = 0.0;
    double connectTime = 0.0;
    double startTransferTime = 0.0;
    double appConnectTime = 0.0;
    double preTransferTime = 0.0;
    double redirectTime = 0.0;
};

// -g <upload|download> -s <1mb|10mb|100mb>; argv holds exactly five words.
void runSpeedTest(char** argv);

// -r <URL> [-m <bypass|tunnel|tunnelbypass>].
void runLatencyTest(int argc, char** argv);
