#pragma once
// Runs one command on a session object and captures what it prints.

#include "CKTDiag.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

// What command printed on standard output while it ran on diag; took: how long it ran.
inline std::string printedBy(CKTDiag& diag, const std::function<void(CKTDiag&)>& command,
                             std::chrono::milliseconds& took)
{
    testing::internal::CaptureStdout();
    const auto began = std::chrono::steady_clock::now();
    command(diag);
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 began);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
