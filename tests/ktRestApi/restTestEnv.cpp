#include "restTestEnv.h"

#include "ktTest/connectProxy.h"
#include "ktTest/proxyCredentials.h"
#include "ktTest/sharedSetUp.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"
#include "ktTest/testPki.h"

#include <gtest/gtest.h>

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

class RestEnvironment : public ktTest::SharedSetUp {
public:
    void setUp() override
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
    return ktTest::storedProxyCredentials(productId, plain, g_state->dir.path());
}

} // namespace restTest
