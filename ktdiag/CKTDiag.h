#pragma once
// One command's session with the client service and the work run against it.

#include <string>

class CKTDiag {
public:
    CKTDiag();
    ~CKTDiag();
    CKTDiag(const CKTDiag&) = delete;
    CKTDiag& operator=(const CKTDiag&) = delete;

    // Starts the service session; false when it could not be started.
    bool start();

    // Collects the diagnostics archive; true when it was written.
    bool collectLogs(const std::string& archiveName, bool forUpload);
};
