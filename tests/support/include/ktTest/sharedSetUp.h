#pragma once
// The set-up a test program's tests share, made once before the first of them. Left to
// itself GoogleTest marks every test as skipped when such a set-up fails, and CTest counts a
// skipped test as a success; through this class each test fails instead, saying what failed.

#include <gtest/gtest.h>

namespace ktTest {

// A global test environment whose set-up is setUp(). A failure there, an assertion's or an
// exception, fails each test of the program before its fixture is made, with the text of
// every failure; a GTEST_SKIP there (the program decided itself that it cannot run here)
// skips each test with its reason. TearDown is the environment's own, and runs either way.
class SharedSetUp : public ::testing::Environment {
public:
    void SetUp() final;

protected:
    virtual void setUp() = 0;
};

} // namespace ktTest
