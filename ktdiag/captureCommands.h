#pragma once
// The capture options; each runs one command on a session of its own.

// -c (outer false) and -p (outer true): start or stop a packet capture. argc >= 3.
void handlePacketCapture(int argc, char** argv, bool outer);

// -d: start or stop a driver-log capture. argc >= 3.
void handleDriverLogCapture(int argc, char** argv);
