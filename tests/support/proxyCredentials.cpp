#include "ktTest/proxyCredentials.h"

#include "ktTest/runner.h"
#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace ktTest {

namespace {

std::string hex(const std::string& bytes)
{
    std::string out;
    char pair[3];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", c);
        out += pair;
    }
    return out;
}

} // namespace

std::string storedProxyCredentials(const std::string& productId, const std::string& plain,
                                   const std::string& scratchFolder)
{
    std::string key = productId;
    key.resize(32, '0');
    const std::string input = scratchFolder + "/plain.txt";
    writeAll(input, plain);
    const RunResult run =
        runProgram("/usr/bin/openssl", {"enc", "-aes-256-cbc", "-K", hex(key), "-iv",
                                        hex("vevodeziradire52"), "-in", input, "-base64", "-A"});
    std::remove(input.c_str());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.out;
}

} // namespace ktTest
