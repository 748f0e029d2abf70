#include "CKTDiag.h"

#include <cstdio>

CKTDiag::CKTDiag() = default;

CKTDiag::~CKTDiag() = default;

bool CKTDiag::start()
{
    // No service link in this build: the session is never ready.
    return false;
}

bool CKTDiag::collectLogs(const std::string& /*archiveName*/, bool /*forUpload*/)
{
    std::fprintf(stderr, "ktdiag: the diagnostics collection is not built yet\n");
    return false;
}
