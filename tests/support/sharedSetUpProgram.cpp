// A test program for the tests of ktTest::SharedSetUp. Its first argument says how its
// shared set-up goes:
//   pass     succeeds
//   assert   a fatal assertion fails in it
//   expect   a non-fatal one fails in it
//   throw    it throws
//   skip     it decides that the program cannot run here
// Each of its tests prints "ran <name>" once its body runs.

#include "ktTest/sharedSetUp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

std::string g_mode;
bool g_ready = false;

class Environment : public ktTest::SharedSetUp {
protected:
    void setUp() override
    {
        if (g_mode == "assert") {
            ASSERT_TRUE(g_ready) << "the tree could not be made";
        } else if (g_mode == "expect") {
            EXPECT_TRUE(g_ready) << "the tree could not be made";
        } else if (g_mode == "throw") {
            throw std::runtime_error("the tree could not be made");
        } else if (g_mode == "skip") {
            GTEST_SKIP() << "no tree can be made here";
        }
        g_ready = true;
    }
};

class Fixture : public ::testing::Test {
protected:
    void SetUp() override { std::printf("ran fixture set-up\n"); }
};

TEST(Shared, First)
{
    std::printf("ran First\n");
}

TEST_F(Fixture, Second)
{
    std::printf("ran Second\n");
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_mode = argc > 1 ? argv[1] : "";
    ::testing::AddGlobalTestEnvironment(new Environment);
    return RUN_ALL_TESTS();
}
