#include "restTestEnv.h"

#include "ktTest/connectProxy.h"
#include "ktTest/runner.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"
#include "ktTest/testPki.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace restTest {

namespace {

struct State {
    ktTest::TempDir dir;
    ktTest::ScopedEnv registry{"KTDIAG_REGISTRY_FILE", dir.path() + "/registry.json"};
    ktTest::ScopedEnv keys{"KTDIAG_DPAPI_KEY_DIR", dir.path()};
    ktTest::ClearProxyEnv noProxy;
};

State* g_state = nullptr;

class RestEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_state = std::make_unique<State>();
        g_state = m_state.get();
        ktTest::TestPki::instance();
        ktTest::clearLog();
        setProductId("00330-80000-00000-AA123");
    }
    void TearDown() override
    {
        g_state = nullptr;
        m_state.reset();
    }

private:
    std::unique_ptr<State> m_state;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new RestEnvironment);

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

void setProductId(const std::optional<std::string>& productId)
{
    const std::string file = g_state->dir.path() + "/registry.json";
    if (!productId) {
        std::remove(file.c_str());
        return;
    }
    ktTest::writeAll(file, R"({"view64": {
  "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion": {
    "ProductId": { "type": "REG_SZ", "data": ")" +
                               *productId + R"(" } } } })");
}

std::string storedCredentials(const std::string& productId, const std::string& plain)
{
    std::string key = productId;
    key.resize(32, '0');
    const std::string input = g_state->dir.path() + "/plain.txt";
    ktTest::writeAll(input, plain);
    const ktTest::RunResult run = ktTest::runProgram(
        "/usr/bin/openssl", {"enc", "-aes-256-cbc", "-K", hex(key), "-iv", hex("vevodeziradire52"),
                             "-in", input, "-base64", "-A"});
    std::remove(input.c_str());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.out;
}

} // namespace restTest
