#pragma once
// A log for one test program: a temporary client tree holds the log file for the whole
// run. Include it in a test file of a program that links ktLog.

#include "ktTest/tempTree.h"

#include "ktLog/ktLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace ktTest {

class TestLog : public ::testing::Environment {
public:
    explicit TestLog(int level) : m_level(level) {}
    void SetUp() override
    {
        m_tree = std::make_unique<TempClientTree>();
        ASSERT_TRUE(ktLogInit());
        g_programName = "ktdiag";
        g_logLevel = m_level;
        s_path = m_tree->publicFolder() + "/ktdebuglog.log";
    }
    void TearDown() override { m_tree.reset(); }

    // The log file's text; empty it with clear().
    static std::string text() { return readAll(s_path); }
    static void clear() { writeAll(s_path, ""); }

private:
    int m_level;
    std::unique_ptr<TempClientTree> m_tree;
    static inline std::string s_path;
};

} // namespace ktTest
