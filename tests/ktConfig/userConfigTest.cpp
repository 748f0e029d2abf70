// Per-session configuration: session folders (per-user or common), ktuser.conf, the tunnel
// and fail-close state, the session map, the QPA files and the session steps of Config::init.

#include "configInternal.h"
#include "ktConfig/userConfig.h"

#include "ktPlatform/strings.h"
#include "ktRestApi/addonmanapi.h"
#include "ktTest/clientTree.h"
#include "ktTest/testAccount.h"
#include "ktTest/testLog.h"
#include "ktUtils/integritycheck.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using ktPlatform::toNarrow;
using ktTest::ClientTree;
using ktTest::logHas;

namespace {

constexpr std::uint32_t kNobody = 65534;
constexpr std::uint32_t kNoSuchUser = 54321; // no passwd entry

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

std::uint32_t ownerOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_uid : 0xFFFFFFFFu;
}

// logind session files (one per session id: its user, active on seat0) in a folder every
// account can read, and a folder every account can write to.
class Sessions {
public:
    explicit Sessions(const std::map<std::uint32_t, std::uint32_t>& users)
        : m_env("KTDIAG_SESSIONS_DIR", m_dir.path() + "/sessions")
    {
        fs::create_directory(m_dir.path() + "/sessions");
        for (const auto& [id, uid] : users) {
            ktTest::writeAll(m_dir.path() + "/sessions/" + std::to_string(id),
                             "UID=" + std::to_string(uid) +
                                 "\nSTATE=active\nCLASS=user\nACTIVE=1\nSEAT=seat0\n");
        }
        fs::create_directory(shared());
        fs::permissions(m_dir.path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fs::permissions(m_dir.path() + "/sessions",
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                            fs::perms::group_read | fs::perms::others_read);
        fs::permissions(shared(), fs::perms::all);
    }
    std::string shared() const { return m_dir.path() + "/shared"; }

private:
    ktTest::TempDir m_dir;
    ktTest::ScopedEnv m_env;
};

class UserConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ktTest::clearLog(); }

    // Per-user folders on; location: "configLocation" of ktuserconfig.json, none when null.
    void perUser(const char* location)
    {
        std::string json = R"({"ktUserConfig":{"enablePerUserConfig":"true")";
        if (location != nullptr) {
            json += std::string(R"(,"configLocation":")") + location + "\"";
        }
        m_tree.writeUserConfig(json + "}}");
    }
    Config::Impl& located()
    {
        EXPECT_TRUE(m_config.initConfigLocation());
        return m_config;
    }
    static CUserConfig entryOf(Config::Impl& config, std::uint32_t sessionId)
    {
        CUserConfig userConfig;
        EXPECT_TRUE(config.getUserConfig(sessionId, userConfig)) << sessionId;
        return userConfig;
    }
    CUserConfig entry(std::uint32_t sessionId) { return entryOf(m_config, sessionId); }
    std::string common() const { return m_tree.configFolder(); }
    std::string appDataFolder() const { return m_tree.tree().appDataRoot() + "/Kestrani/Merivon"; }
    static bool isRoot() { return ::geteuid() == 0; }

    ClientTree m_tree;
    Config::Impl m_config;
};

} // namespace

TEST_F(UserConfigTest, WithoutUserConfigJsonEverySessionUsesTheCommonFolder)
{
    located();
    EXPECT_TRUE(m_config.addUserConfig(1, "alice", false));
    const CUserConfig userConfig = entry(1);
    EXPECT_EQ(toNarrow(userConfig.m_location), common());
    EXPECT_EQ(toNarrow(userConfig.m_dataDir), common() + "/data");
    EXPECT_EQ(toNarrow(userConfig.m_downloadDir), common() + "/download");
    EXPECT_EQ(userConfig.m_userName, "alice");
    EXPECT_EQ(ktTest::readAll(common() + "/ktuser.conf"), ktTest::kDefaultUserConf);
    EXPECT_EQ(userConfig.m_tunnelStatus, 0);
    EXPECT_FALSE(fs::exists(appDataFolder()));
    EXPECT_TRUE(logHas("createUserConfig: SessionId [1] user config location: " + common()));
    EXPECT_TRUE(logHas("sessId [1] user config location: " + common()));
}

TEST_F(UserConfigTest, PerUserWithoutLocationExpandsTheDefaultForTheUser)
{
    perUser(nullptr);
    located();
    // The session's user is the tool's own here, whose %APPDATA% is the tree's.
    EXPECT_EQ(toNarrow(m_config.createUserConfig(1)), appDataFolder());
    EXPECT_EQ(m_config.perUserConfigLocation(), L"%APPDATA%/Kestrani/Merivon");
    EXPECT_TRUE(logHas(
        "createUserConfig: using default m_perUserConfigLocation: %APPDATA%/Kestrani/Merivon"));
    EXPECT_TRUE(fs::is_directory(appDataFolder()));
    // createUserConfig makes the folder only: no status file, nothing below it.
    EXPECT_TRUE(fs::is_empty(appDataFolder()));

    m_config.addUserConfig(1, "me", false);
    EXPECT_EQ(toNarrow(entry(1).m_location), appDataFolder());
    for (const char* sub : {"/data", "/download"}) {
        EXPECT_TRUE(fs::is_directory(appDataFolder() + sub)) << sub;
    }
    EXPECT_EQ(ktTest::readAll(appDataFolder() + "/ktuser.conf"), ktTest::kDefaultUserConf);
    EXPECT_FALSE(fs::exists(common() + "/ktuser.conf"));
}

TEST_F(UserConfigTest, ALocationWithoutPercentIsUsedVerbatim)
{
    const std::string verbatim = m_tree.tree().root() + "/users/one";
    perUser(verbatim.c_str());
    located();
    EXPECT_EQ(toNarrow(m_config.createUserConfig(1)), verbatim);
    EXPECT_TRUE(fs::is_directory(verbatim));
}

TEST_F(UserConfigTest, FoldersAndStatusFileAreMadeAsTheSessionsUser)
{
    if (!isRoot()) {
        GTEST_SKIP() << "acting as another account needs root";
    }
    Sessions sessions({{1, kNobody}});
    const std::string location = sessions.shared() + "/nobody/Merivon";
    perUser(location.c_str());
    located();
    m_config.addUserConfig(1, "nobody", false);
    for (const std::string& path :
         {location, location + "/data", location + "/download", location + "/ktuser.conf"}) {
        EXPECT_EQ(ownerOf(path), kNobody) << path;
    }
    EXPECT_EQ(ktTest::readAll(location + "/ktuser.conf"), ktTest::kDefaultUserConf);
    EXPECT_EQ(::getuid(), 0u); // the process kept its own identity

    // One whose text holds no status is replaced, as the user again.
    ktTest::writeAll(location + "/ktuser.conf", "{");
    ASSERT_EQ(::chown((location + "/ktuser.conf").c_str(), kNobody, kNobody), 0);
    m_config.addUserConfig(1, "nobody", true);
    EXPECT_EQ(ktTest::readAll(location + "/ktuser.conf"), ktTest::kDefaultUserConf)
        << ktTest::logText();
    EXPECT_EQ(ownerOf(location + "/ktuser.conf"), kNobody);
}

TEST_F(UserConfigTest, LinksInTheUsersFolderAreNeverFollowed)
{
    // Root reads the folder of the session's user, a test account, who linked its files to
    // files of root's that group 0 may read.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::ConsoleSession session(account.uid);
    const ktTest::AccountFolder home(account);
    const std::string location = home.path() + "/Merivon";
    fs::create_directories(location + "/data");
    ktTest::chownTo(location, account);
    ktTest::chownTo(location + "/data", account);
    perUser(location.c_str());

    // Root is in group 0, as it commonly is, while it acts as the user.
    struct InGroupZero {
        std::vector<gid_t> saved = std::vector<gid_t>(NGROUPS_MAX);
        InGroupZero()
        {
            saved.resize(static_cast<std::size_t>(::getgroups(NGROUPS_MAX, saved.data())));
            const gid_t zero = 0;
            EXPECT_EQ(::setgroups(1, &zero), 0);
        }
        ~InGroupZero() { ::setgroups(saved.size(), saved.data()); }
    } inGroupZero;
    ktTest::TempDir rootsOwn;
    ASSERT_EQ(::chmod(rootsOwn.path().c_str(), 0750), 0);
    const struct {
        const char* name;
        std::string secret;
    } files[] = {
        {"ktuser.conf", R"({"cache":{"userStatus":"false","tunnelId":"root-secret-1"}})"},
        {"ktbranding.json", R"({"UserKey":"root-secret-2","OrgKey":"o","OrgName":"root-secret-2",)"
                            R"("AddonManagerHost":"a","AddonCheckerHost":"c"})"},
        {"eventcache.json", R"({"0":{"client_status":{"type":"root-secret-3"}}})"},
    };
    for (const auto& file : files) {
        const std::string target = rootsOwn.path() + "/" + file.name;
        ktTest::writeAll(target, file.secret);
        ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
        fs::create_symlink(target, location + "/" + file.name);
        ktTest::chownTo(location + "/" + file.name, account);
    }
    // Even a digest that matches, as the user could forge one.
    ASSERT_TRUE(saveDigest(ktPlatform::toWide(location + "/data"), files[2].secret, "d5"));
    ktTest::chownTo(location + "/data/ktinternal.json", account);

    EXPECT_FALSE(m_config.init());
    EXPECT_TRUE(logHas("valid branding file not found"));
    EXPECT_EQ(m_config.branding().orgName, "");
    EXPECT_TRUE(m_config.addUserConfig(1, account.name, false));
    const CUserConfig userConfig = entry(1);
    EXPECT_EQ(userConfig.m_tunnelId, "");
    EXPECT_EQ(userConfig.m_tunnelStatus, 0);
    EXPECT_TRUE(userConfig.m_statusHandler.eventCache().events().empty());

    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        const std::string path = location + "/" + file.name;
        EXPECT_TRUE(logHas("not reading " + path + ": it or a folder on its way is a link"));
        EXPECT_TRUE(fs::is_symlink(path)) << "left alone";
        EXPECT_EQ(ktTest::readAll(rootsOwn.path() + "/" + file.name), file.secret);
    }
    EXPECT_FALSE(logHas("root-secret")) << ktTest::logText();
}

TEST_F(UserConfigTest, NoStatusFileIsWrittenThroughAFolderLinkOfTheUsers)
{
    // The user's folder is reached through a link of the user's: the status file is neither
    // read nor written through it, where it leads.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::ConsoleSession session(account.uid);
    const ktTest::AccountFolder home(account);
    const std::string real = home.path() + "/real";
    fs::create_directories(real + "/Merivon");
    ktTest::chownTo(real, account);
    ktTest::chownTo(real + "/Merivon", account);
    fs::create_directory_symlink(real, home.path() + "/Kestrani");
    ktTest::chownTo(home.path() + "/Kestrani", account);
    const std::string location = home.path() + "/Kestrani/Merivon";
    perUser(location.c_str());
    located();

    m_config.addUserConfig(1, account.name, false);
    EXPECT_EQ(toNarrow(entry(1).m_location), location);
    EXPECT_TRUE(
        logHas("not reading " + location + "/ktuser.conf: it or a folder on its way is a link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(real + "/Merivon/ktuser.conf")))
        << ktTest::logText();
}

TEST_F(UserConfigTest, ASessionWithoutAUserGetsTheCommonFolder)
{
    if (!isRoot()) {
        GTEST_SKIP() << "a session's user token is asked for only as LOCAL SYSTEM";
    }
    Sessions sessions({{1, kNobody}});
    perUser(nullptr);
    located();
    EXPECT_EQ(toNarrow(m_config.createUserConfig(7)), common());
    EXPECT_TRUE(logHas("Failed to retrieve user token for session id 7."));
    EXPECT_FALSE(logHas("createUserConfig: SessionId [7]"));
}

TEST_F(UserConfigTest, AUserThatCannotBeActedAsFallsBackToTheCommonFolder)
{
    if (!isRoot()) {
        GTEST_SKIP() << "only LOCAL SYSTEM acts as another account";
    }
    Sessions sessions({{1, kNoSuchUser}});
    const std::string ghost = sessions.shared() + "/ghost";
    // Fail-close on and no add-on service: a session's report would be cached.
    m_tree.writeClientConfig(R"({"clientConfig":{},"failClose":{"fail_close":"true"}})");
    m_tree.writeBranding(ClientTree::brandingJson());
    const struct {
        const char* name;
        const char* location; // of ktuserconfig.json; nullptr: the default, %APPDATA%/...
        std::string userFolder;
    } cases[] = {
        {"default location", nullptr, m_tree.tree().appDataRoot() + "/Kestrani/Merivon"},
        {"verbatim location", ghost.c_str(), ghost},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ktTest::clearLog();
        fs::remove(common() + "/ktuser.conf");
        perUser(tc.location);
        // Made by someone else, with a status and a branding of its own: never read, never
        // written.
        fs::create_directories(tc.userFolder + "/data");
        ktTest::writeAll(tc.userFolder + "/ktuser.conf", R"({"cache":{"userStatus":"false"}})");
        m_tree.writeBranding(R"({"OrgName":"not the common one"})", false, false, tc.userFolder);

        Config::Impl config;
        ASSERT_TRUE(config.init());
        CUserConfig userConfig;
        ASSERT_TRUE(config.getUserConfig(1, userConfig));
        EXPECT_EQ(toNarrow(userConfig.m_location), common());
        EXPECT_FALSE(userConfig.m_userHome);
        EXPECT_EQ(userConfig.m_tunnelStatus, 0);
        EXPECT_EQ(config.branding().orgName, "Org One");
        EXPECT_EQ(config.getUserEmail(1), "user@branded.test");
        EXPECT_TRUE(logHas("Read branding file successfully: " + common()));
        EXPECT_EQ(ktTest::readAll(common() + "/ktuser.conf"), ktTest::kDefaultUserConf);

        // A session added later falls back the same way.
        EXPECT_TRUE(config.addUserConfig(1, "ghost", true));
        EXPECT_EQ(toNarrow(entryOf(config, 1).m_location), common());

        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(tc.userFolder)) {
            names.insert(fs::relative(e.path(), tc.userFolder).string());
        }
        EXPECT_EQ(names, (std::set<std::string>{"data", "ktbranding.json", "ktuser.conf"}));
        EXPECT_EQ(ktTest::readAll(tc.userFolder + "/ktuser.conf"),
                  R"({"cache":{"userStatus":"false"}})");
        EXPECT_FALSE(logHas("ktuser.conf error")) << "the user's file was read";
        fs::remove_all(tc.userFolder);
    }
}

TEST_F(UserConfigTest, AStatusFileWithoutAStatusIsRewrittenAnythingElseKept)
{
    const std::string path = common() + "/ktuser.conf";
    const std::string target = m_tree.tree().root() + "/elsewhere.conf";
    const char* const malformed = "{\"cache\": {\"userStatus\": ";
    const struct {
        const char* name;
        std::function<void()> make;
        const char* logged;
        bool rewritten;
    } cases[] = {
        {"malformed", [&] { ktTest::writeAll(path, malformed); },
         "config ktuser.conf error: ", true},
        {"empty", [&] { ktTest::writeAll(path, ""); }, " is empty", true},
        {"folder", [&] { fs::create_directory(path); }, "failed to read file ", false},
        {"link to a malformed file",
         [&] {
             ktTest::writeAll(target, malformed);
             fs::create_symlink(target, path);
         },
         "config ktuser.conf error: ", false},
        {"dangling link", [&] { fs::create_symlink(target + ".none", path); },
         "failed to read file ", false},
    };
    located();
    std::uint32_t session = 10;
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ktTest::clearLog();
        fs::remove_all(path);
        fs::remove(target);
        tc.make();
        if (fs::is_regular_file(fs::symlink_status(path))) {
            fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        }
        m_config.addUserConfig(++session, "u", false);
        EXPECT_TRUE(logHas(tc.logged));
        EXPECT_EQ(entry(session).m_tunnelStatus, 0);
        if (tc.rewritten) {
            // Replaced whole with the current values, keeping the file's mode.
            EXPECT_EQ(ktTest::readAll(path), ktTest::kDefaultUserConf);
            EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write);
            EXPECT_FALSE(logHas("kept as it is"));
            continue;
        }
        EXPECT_TRUE(logHas("could not be read and is kept as it is"));
        EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(path))) << "replaced";
        if (fs::exists(target)) {
            EXPECT_EQ(ktTest::readAll(target), malformed);
        }
    }
}

TEST_F(UserConfigTest, AStatusFileThatCannotBeWrittenIsReported)
{
    located();
    CUserConfig userConfig;
    const std::string missing = m_tree.tree().root() + "/missing";
    userConfig.m_location = ktPlatform::toWide(missing);
    EXPECT_FALSE(m_config.writeUserStatus(userConfig));
    EXPECT_TRUE(logHas("config failed to write to file " + missing + "/ktuser.conf"));
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(UserConfigTest, StatusFileGivesTheTunnelStatus)
{
    const struct {
        const char* conf;
        int tunnel;
        int lastTunnel;
        int lastQpa;
        bool failCloseStatus;
    } cases[] = {
        {R"({"cache":{"userStatus":"true"},"userConfig":{"clientStatus":"1"}})", 0, -1, -1, true},
        {R"({"cache":{"userStatus":"false"},"userConfig":{"clientStatus":"1"}})", 1, -1, -1, true},
        {R"({"cache":{"userStatus":"true"},"userConfig":{"clientStatus":"0"}})", 2, -1, -1, true},
        {R"({"cache":{"userStatus":false},"userConfig":{"clientStatus":0,"tunnelStatus":17,
            "qpaStatus":4,"failCloseStatus":false}})",
         2, 17, 4, false},
        // Values that do not convert leave the fields as they were.
        {R"({"cache":{"userStatus":"no"},"userConfig":{"clientStatus":"x","tunnelStatus":"1.5"}})",
         0, -1, -1, true},
    };
    located();
    std::uint32_t session = 20;
    for (const auto& tc : cases) {
        ktTest::writeAll(common() + "/ktuser.conf", tc.conf);
        m_config.addUserConfig(++session, "u", false);
        const CUserConfig userConfig = entry(session);
        EXPECT_EQ(userConfig.m_tunnelStatus, tc.tunnel) << tc.conf;
        EXPECT_EQ(userConfig.m_lastTunnelStatus, tc.lastTunnel) << tc.conf;
        EXPECT_EQ(userConfig.m_lastQpaStatus, tc.lastQpa) << tc.conf;
        EXPECT_EQ(userConfig.m_failCloseStatus, tc.failCloseStatus) << tc.conf;
        EXPECT_EQ(ktTest::readAll(common() + "/ktuser.conf"), tc.conf) << "read, not rewritten";
    }
    EXPECT_TRUE(logHas("[sessId 24]  Last tunnelStatus: 17"));
    EXPECT_TRUE(logHas("[sessId 24, userEmail=]  failCloseStatus: 0"));
}

TEST(UserConfig, SetFailClosePostsOnlyForATunnelThatIsDown)
{
    ktTest::clearLog();
    const std::string posting =
        "clientStatusHandler FailClosed:[sessId 4] posting fail closed client status status";
    for (const int status : {0, 1, 2, 3, 7, 9, 11, 12, 13, 17}) {
        CUserConfig userConfig;
        userConfig.m_sessionId = 4;
        userConfig.m_tunnelStatus = status;
        const std::size_t before = count(ktTest::logText(), posting);
        userConfig.setFailClose(true, true);
        EXPECT_TRUE(userConfig.isFailCloseActive());
        const bool posted = count(ktTest::logText(), posting) > before;
        EXPECT_EQ(posted, status == 0 || status == 7 || status == 11 || status == 13) << status;
    }
    EXPECT_TRUE(logHas("UserConfig [sessId 4] fail close activated"));

    ktTest::clearLog();
    CUserConfig userConfig;
    userConfig.setFailClose(true, false);
    EXPECT_TRUE(userConfig.isFailCloseActive());
    EXPECT_FALSE(logHas("fail close activated"));
    userConfig.m_failCloseNotified = true;
    userConfig.setFailClose(false, true);
    EXPECT_FALSE(userConfig.isFailCloseActive());
    EXPECT_FALSE(userConfig.m_failCloseNotified);
    EXPECT_FALSE(logHas("fail close activated"));
}

TEST_F(UserConfigTest, FailCloseIsPostedOnlyForASessionAlreadyKnown)
{
    m_tree.writeClientConfig(R"({"clientConfig":{},"failClose":{"fail_close":"true"}})");
    m_tree.writeBranding(ClientTree::brandingJson());
    // Set up before its entry exists: active, not posted.
    ASSERT_TRUE(m_config.init());
    EXPECT_TRUE(entry(1).isFailCloseActive());
    EXPECT_FALSE(logHas("fail close activated"));

    // A new session's entry exists before it is set up: posted.
    m_config.addUserConfig(2, "u", false);
    EXPECT_TRUE(entry(2).isFailCloseActive());
    EXPECT_TRUE(logHas("[sessId 2] fail close activated"));
    EXPECT_TRUE(logHas("FailClosed:[sessId 2] posting fail closed client status status"));

    // Fail-close not allowed for the session, or the client disabled: not evaluated at all.
    ktTest::writeAll(common() + "/ktuser.conf", R"({"userConfig":{"failCloseStatus":"false"}})");
    m_config.addUserConfig(3, "u", false);
    EXPECT_FALSE(entry(3).isFailCloseActive());
    EXPECT_FALSE(logHas("[sessId 3] fail close activated"));
    ktTest::writeAll(common() + "/ktuser.conf", R"({"userConfig":{"clientStatus":"0"}})");
    m_config.addUserConfig(4, "u", false);
    EXPECT_FALSE(entry(4).isFailCloseActive());
    EXPECT_EQ(entry(4).m_tunnelStatus, 2);
    EXPECT_FALSE(logHas("[sessId 4] fail close activated"));
}

TEST_F(UserConfigTest, AddingAKnownSessionRenamesItAndQueuesTheLogon)
{
    located();
    m_config.addUserConfig(5, "first", false);
    ktTest::writeAll(common() + "/ktuser.conf", R"({"cache":{"userStatus":"false"}})");
    m_config.addUserConfig(5, "second", false);
    EXPECT_EQ(entry(5).m_userName, "second");
    EXPECT_EQ(entry(5).m_tunnelStatus, 0); // not read again
    m_config.addUserConfig(5, "third", true);
    EXPECT_EQ(entry(5).m_userName, "third");
    EXPECT_EQ(entry(5).m_tunnelStatus, 1);
    EXPECT_EQ(m_config.logonQueue(), (std::deque<std::int32_t>{5, 5, 5}));
    EXPECT_EQ(count(ktTest::logText(), "Set Last Logon"), 3u);
    m_config.notifyLogon(); // nothing waits: returns at once
}

TEST_F(UserConfigTest, SessionLookUps)
{
    m_tree.writeBranding(ClientTree::brandingJson());
    located();
    std::int32_t active = -1;
    EXPECT_FALSE(m_config.getActiveUserSessionId(active));
    EXPECT_EQ(active, -1);
    EXPECT_EQ(toNarrow(m_config.getConfigLocation(9)), common());
    EXPECT_EQ(m_config.getUserEmail(9), "");

    const std::string location = m_tree.tree().root() + "/u9";
    perUser(location.c_str());
    located();
    // Sessions whose user is the tool's own, so that their folder is the user's.
    Sessions sessions({{3, ::getuid()}, {9, ::getuid()}});
    m_config.addUserConfig(9, "u", false);
    m_config.addUserConfig(3, "u", false);
    CUserConfig elsewhere;
    elsewhere.m_location = m_config.m_configLocation;
    ASSERT_TRUE(m_config.readBranding(elsewhere));
    EXPECT_TRUE(m_config.getActiveUserSessionId(active));
    EXPECT_EQ(active, 3);
    EXPECT_EQ(toNarrow(m_config.getConfigLocation(9)), location);
    EXPECT_EQ(toNarrow(m_config.getConfigLocation(8)), common());
    // Without an entry: the branding's e-mail; with one, the entry's own (none read here).
    EXPECT_EQ(m_config.getUserEmail(8), "user@branded.test");
    EXPECT_EQ(m_config.getUserEmail(9), "");
}

// ---- QPA files

TEST_F(UserConfigTest, QpaPaths)
{
    const std::string perUserLocation = m_tree.tree().root() + "/qpa-user";
    Sessions sessions({{6, ::getuid()}});
    const struct {
        bool perUser;
        bool entry;
        std::string folder;
    } cases[] = {
        {false, false, m_tree.dataFolder()},
        {false, true, m_tree.dataFolder()},
        {true, false, m_tree.configFolder()},
        {true, true, perUserLocation},
    };
    for (const auto& tc : cases) {
        Config::Impl config;
        if (tc.perUser) {
            perUser(perUserLocation.c_str());
        } else {
            fs::remove(m_tree.configFolder() + "/ktuserconfig.json");
        }
        ASSERT_TRUE(config.initConfigLocation());
        if (tc.entry) {
            config.addUserConfig(6, "u", false);
        }
        EXPECT_EQ(toNarrow(config.getQpaKeyPath(6)), tc.folder + "/qpaccesskey.pem")
            << tc.perUser << tc.entry;
        EXPECT_EQ(toNarrow(config.getQpaCertPath(6)), tc.folder + "/qpaccesscert.pem")
            << tc.perUser << tc.entry;
    }
}

TEST_F(UserConfigTest, QpaCertificatePresence)
{
    located();
    const std::string data = m_tree.dataFolder();
    ktTest::writeAll(data + "/qpaccesscert.pem", "cert");
    ktTest::writeAll(data + "/qpaccesskey.pem", "key");

    // No tenant: no look at the files, no acting as anyone.
    ktTest::clearLog();
    EXPECT_FALSE(m_config.isQpaCertPresent(1));
    EXPECT_EQ(ktTest::logText(), "");

    m_tree.writeClientConfig(R"({"clientConfig":{},"qpa":{"tenant":"t1"}})");
    ASSERT_TRUE(m_config.readClientConfig());
    EXPECT_TRUE(m_config.isQpaCertPresent(1));
    fs::remove(data + "/qpaccesskey.pem");
    EXPECT_FALSE(m_config.isQpaCertPresent(1));

    // Protected mode: only the ".enc" names count.
    m_config.configSec().apply(true, std::wstring(), {});
    ktTest::writeAll(data + "/qpaccesskey.pem", "key");
    EXPECT_FALSE(m_config.isQpaCertPresent(1));
    ktTest::writeAll(data + "/qpaccesscert.pem.enc", "c");
    ktTest::writeAll(data + "/qpaccesskey.pem.enc", "k");
    EXPECT_TRUE(m_config.isQpaCertPresent(1));
}

// ---- the session steps of Config::init

TEST_F(UserConfigTest, InitSetsUpTheActiveSessionThenReadsItsBranding)
{
    perUser(nullptr);
    m_tree.writeBranding(ClientTree::brandingJson(), false, false, appDataFolder());
    ASSERT_TRUE(m_config.init());
    const CUserConfig userConfig = entry(1);
    EXPECT_EQ(toNarrow(userConfig.m_location), appDataFolder());
    EXPECT_EQ(userConfig.m_userKey, "uk-1");
    EXPECT_EQ(userConfig.m_userEmail, "user@branded.test");
    EXPECT_TRUE(userConfig.m_brandingRead);
    EXPECT_EQ(userConfig.m_heartbeatRetry[1], 60);
    EXPECT_EQ(m_config.getUserEmail(1), "user@branded.test");
    EXPECT_EQ(m_config.branding().orgName, "Org One");
    EXPECT_EQ(m_config.addonManApi()->addonHost(), "addon.branded.test");
    EXPECT_EQ(ktTest::readAll(appDataFolder() + "/ktuser.conf"), ktTest::kDefaultUserConf);
    EXPECT_TRUE(fs::is_directory(appDataFolder() + "/data"));

    const std::string log = ktTest::logText();
    const auto idp = log.find("failed to read ktidpconfig.json file, ");
    const auto session = log.find("sessId [1] user config location: " + appDataFolder());
    const auto branding = log.find("Read branding file successfully: " + appDataFolder());
    const auto proxies = log.find("System proxy configuration ");
    ASSERT_NE(idp, std::string::npos);
    ASSERT_NE(session, std::string::npos);
    ASSERT_NE(branding, std::string::npos);
    ASSERT_NE(proxies, std::string::npos);
    EXPECT_LT(idp, session);
    EXPECT_LT(session, branding);
    EXPECT_LT(branding, proxies);
}

TEST_F(UserConfigTest, InitWithoutBrandingStoresNoSessionAndDetectsNoProxies)
{
    EXPECT_FALSE(m_config.init());
    EXPECT_TRUE(logHas("valid branding file not found"));
    std::int32_t active = 0;
    EXPECT_FALSE(m_config.getActiveUserSessionId(active));
    EXPECT_FALSE(logHas("System proxy configuration "));
    // The session was still set up: its status file exists.
    EXPECT_EQ(ktTest::readAll(common() + "/ktuser.conf"), ktTest::kDefaultUserConf);
}

TEST_F(UserConfigTest, InitWithoutAnActiveSessionSetsNoSessionUp)
{
    ktTest::TempDir noSessions;
    ktTest::ScopedEnv sessions("KTDIAG_SESSIONS_DIR", noSessions.path());
    m_tree.writeBranding(ClientTree::brandingJson());
    EXPECT_FALSE(m_config.init());
    std::int32_t active = 0;
    EXPECT_FALSE(m_config.getActiveUserSessionId(active));
    EXPECT_FALSE(fs::exists(common() + "/ktuser.conf"));
    EXPECT_EQ(m_config.branding().userKey, "");
}
