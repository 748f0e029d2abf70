#pragma once
// An unprivileged local account for tests that cross an account boundary, and logind
// session files that make it the console user. Only root can make the account or act as it.

#include "ktTest/tempTree.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ktTest {

struct TestAccount {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string name;
    std::string home; // exists, owned by the account
};

// The supplementary group of the account "ktdiag-test", besides its own.
constexpr const char* kTestAccountGroup = "ktdiag-test-extra";

// The account "ktdiag-test", made with its home and in kTestAccountGroup when it is missing (CI
// makes it beforehand; concurrent tests may race to make it). nullopt, with the reason in why, when
// the process is not root or the account cannot be made.
std::optional<TestAccount> testAccount(std::string& why);

// A second such account, "ktdiag-test2", for tests that need two users besides root.
std::optional<TestAccount> secondTestAccount(std::string& why);

// The supplementary group of the account "ktdiag-person", besides its own.
constexpr const char* kPersonAccountGroup = "ktdiag-people";

// The account "ktdiag-person", made as a person's (not a system account: its uid is at least
// UID_MIN of /etc/login.defs) in kPersonAccountGroup when it is missing.
std::optional<TestAccount> personTestAccount(std::string& why);

// Skips the current test (with the reason) unless the account is at hand; use as
//   KT_TEST_ACCOUNT_OR_SKIP(account);
#define KT_TEST_ACCOUNT_OR_SKIP(var) KT_TEST_ACCOUNT_FROM_OR_SKIP(var, ::ktTest::testAccount)
#define KT_TEST_SECOND_ACCOUNT_OR_SKIP(var)                                                        \
    KT_TEST_ACCOUNT_FROM_OR_SKIP(var, ::ktTest::secondTestAccount)
#define KT_TEST_PERSON_ACCOUNT_OR_SKIP(var)                                                        \
    KT_TEST_ACCOUNT_FROM_OR_SKIP(var, ::ktTest::personTestAccount)
#define KT_TEST_ACCOUNT_FROM_OR_SKIP(var, make)                                                    \
    std::string var##Why;                                                                          \
    const std::optional<::ktTest::TestAccount> var##Opt = make(var##Why);                          \
    if (!var##Opt) {                                                                               \
        GTEST_SKIP() << var##Why;                                                                  \
    }                                                                                              \
    const ::ktTest::TestAccount& var = *var##Opt

// A folder of the account's own under its home, removed with everything in it afterwards.
class AccountFolder {
public:
    explicit AccountFolder(const TestAccount& account);
    // The folder <home>/name, which must not exist yet: another account's folder of the
    // same name as one of the first, for a location that names both.
    AccountFolder(const TestAccount& account, const std::string& name);
    ~AccountFolder();
    AccountFolder(const AccountFolder&) = delete;
    AccountFolder& operator=(const AccountFolder&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Gives path (not following a link there) to the account.
void chownTo(const std::string& path, const TestAccount& account);

// Logind session files, readable by every account, pointed at by KTDIAG_SESSIONS_DIR for the
// life of the object: session 1 is the active console session of uid, and the process's
// own session (KTDIAG_SESSION_ID).
class ConsoleSession {
public:
    explicit ConsoleSession(std::uint32_t uid);
    ConsoleSession(const ConsoleSession&) = delete;
    ConsoleSession& operator=(const ConsoleSession&) = delete;

    const std::string& folder() const { return m_folder; }

private:
    TempDir m_dir;
    std::string m_folder;
    ScopedEnv m_env;
    ScopedEnv m_own;
};

} // namespace ktTest
