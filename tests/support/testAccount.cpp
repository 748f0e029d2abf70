#include "ktTest/testAccount.h"

#include "ktTest/runner.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace ktTest {

namespace {

std::optional<TestAccount> lookUp(const std::string& name)
{
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    TestAccount account;
    account.uid = pw.pw_uid;
    account.gid = pw.pw_gid;
    account.name = pw.pw_name;
    account.home = pw.pw_dir;
    return account;
}

std::string systemProgram(const std::string& name)
{
    for (const std::string folder : {"/usr/sbin/", "/sbin/"}) {
        if (::access((folder + name).c_str(), X_OK) == 0) {
            return folder + name;
        }
    }
    return std::string();
}

bool inGroup(const TestAccount& account, const std::string& group)
{
    const struct group* entry = ::getgrnam(group.c_str());
    if (entry == nullptr) {
        return false;
    }
    for (char* const* member = entry->gr_mem; *member != nullptr; ++member) {
        if (account.name == *member) {
            return true;
        }
    }
    return false;
}

// Gives the account the supplementary group, made when missing.
bool joinGroup(const TestAccount& account, const std::string& group, std::string& why)
{
    // Another test may be changing the group files at the same time: the tools then fail on
    // their lock.
    for (int attempt = 0; !inGroup(account, group) && attempt < 20; ++attempt) {
        if (::getgrnam(group.c_str()) == nullptr) {
            runProgram(systemProgram("groupadd"), {"--system", group});
        }
        const RunResult r = runProgram(systemProgram("usermod"), {"-a", "-G", group, account.name});
        if (!inGroup(account, group)) {
            why = "usermod " + account.name + " failed: " + r.err;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return inGroup(account, group);
}

// The account name, made with its home /home/<name> when it is missing (a system account,
// or a person's with a uid from UID_MIN on), and given the supplementary group extraGroup
// unless that is empty.
std::optional<TestAccount> accountNamed(const std::string& name, const std::string& extraGroup,
                                        std::string& why, bool systemAccount = true)
{
    if (::geteuid() != 0) {
        why = "acting as another account needs root";
        return std::nullopt;
    }
    std::optional<TestAccount> account = lookUp(name);
    const std::string program = systemProgram("useradd");
    // Another test may be making it at the same time: useradd then fails on its lock.
    for (int attempt = 0; !account && attempt < 20; ++attempt) {
        if (program.empty()) {
            why = "no useradd to make the test account " + name;
            return std::nullopt;
        }
        std::vector<std::string> args = {
            "--user-group", "--create-home",     "--home-dir", "/home/" + name,
            "--shell",      "/usr/sbin/nologin", name};
        if (systemAccount) {
            args.insert(args.begin(), "--system");
        }
        const RunResult r = runProgram(program, args);
        account = lookUp(name);
        if (!account) {
            why = "useradd " + name + " failed: " + r.err;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (!account) {
        return std::nullopt;
    }
    // The home may be missing when the account came from elsewhere.
    std::error_code ec;
    fs::create_directories(account->home, ec);
    if (::chown(account->home.c_str(), account->uid, account->gid) != 0 ||
        ::chmod(account->home.c_str(), 0755) != 0) {
        why = "cannot prepare " + account->home;
        return std::nullopt;
    }
    if (!extraGroup.empty() && !joinGroup(*account, extraGroup, why)) {
        return std::nullopt;
    }
    return account;
}

} // namespace

std::optional<TestAccount> testAccount(std::string& why)
{
    return accountNamed("ktdiag-test", kTestAccountGroup, why);
}

std::optional<TestAccount> secondTestAccount(std::string& why)
{
    return accountNamed("ktdiag-test2", "", why);
}

std::optional<TestAccount> personTestAccount(std::string& why)
{
    return accountNamed("ktdiag-person", kPersonAccountGroup, why, false);
}

AccountFolder::AccountFolder(const TestAccount& account)
{
    std::random_device random;
    for (;;) {
        m_path = account.home + "/t" + std::to_string(random());
        if (::mkdir(m_path.c_str(), 0755) == 0) {
            break;
        }
        if (errno != EEXIST) {
            throw std::runtime_error("cannot create " + m_path);
        }
    }
    chownTo(m_path, account);
}

AccountFolder::AccountFolder(const TestAccount& account, const std::string& name)
    : m_path(account.home + "/" + name)
{
    if (::mkdir(m_path.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot create " + m_path);
    }
    chownTo(m_path, account);
}

AccountFolder::~AccountFolder()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

void chownTo(const std::string& path, const TestAccount& account)
{
    if (::lchown(path.c_str(), account.uid, account.gid) != 0) {
        throw std::runtime_error("cannot give " + path + " to the test account");
    }
}

ConsoleSession::ConsoleSession(std::uint32_t uid)
    : m_folder(m_dir.path() + "/sessions"), m_env("KTDIAG_SESSIONS_DIR", m_folder),
      m_own("KTDIAG_SESSION_ID", std::string("1"))
{
    fs::create_directory(m_folder);
    writeAll(m_folder + "/1",
             "UID=" + std::to_string(uid) + "\nSTATE=active\nCLASS=user\nACTIVE=1\nSEAT=seat0\n");
    ::chmod(m_dir.path().c_str(), 0755);
    ::chmod(m_folder.c_str(), 0755);
    ::chmod((m_folder + "/1").c_str(), 0644);
}

} // namespace ktTest
