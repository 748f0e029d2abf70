#pragma once
// A temporary client installation: the folders of TempClientTree, plus a registry file,
// data-protection keys and no logind (one session, 1), all pointed at by their overrides
// for the life of the object. Writes the client's configuration files as the service
// leaves them, ktconfig.json with its "d4" digest made by the client's own digest code.

#include "ktTest/tempTree.h"

#include <map>
#include <string>

namespace ktTest {

// ktuser.conf as a session's first set-up writes it.
constexpr const char* kDefaultUserConf = R"({
    "cache": {
        "userStatus": "true"
    },
    "userConfig": {
        "clientStatus": "1",
        "tunnelStatus": "0",
        "qpaStatus": "6",
        "failCloseStatus": "true"
    }
}
)";

class ClientTree {
public:
    ClientTree();
    ClientTree(const ClientTree&) = delete;
    ClientTree& operator=(const ClientTree&) = delete;

    const TempClientTree& tree() const { return m_tree; }
    // <ProgramData>/kestrani/merivon and its "data" folder (created by the writers).
    std::string configFolder() const;
    std::string dataFolder() const;
    std::string configFilePath() const { return configFolder() + "/ktconfig.json"; }

    // Writes ktconfig.json, protected (".enc", machine scope) when asked, and stores the
    // digest of its "clientConfig" section under "d4" in ktinternal.json (when withDigest
    // and the section is there).
    void writeClientConfig(const std::string& json, bool protectedForm = false,
                           bool withDigest = true);
    // ktconfig.json as stored, decrypted when protected (without the final zero byte).
    std::string readClientConfig(bool protectedForm = false) const;
    // Stores the digest of text under key in ktinternal.json.
    void writeDigest(const std::string& key, const std::string& text);

    void writeConfigFile(const std::string& name, const std::string& content);
    void writeDevConfig(const std::string& json) { writeConfigFile("devconfig.json", json); }
    void writeIdpConfig(const std::string& json) { writeConfigFile("ktidpconfig.json", json); }
    void writeInternal(const std::string& json);
    void writeUserConfig(const std::string& json) { writeConfigFile("ktuserconfig.json", json); }
    // ktbranding.json in folder (the configuration folder when empty), or its protected
    // form (".enc", user or machine scope).
    void writeBranding(const std::string& json, bool protectedForm = false, bool userScope = false,
                       const std::string& folder = std::string());
    // A branding file of the flat layout with every key: user key "uk-1", organisation key
    // "ok-1", name "Org One", hosts "addon.branded.test" and "checker.branded.test",
    // "SFCheckerHost" "sf.branded.test", "sfCheck.SFCheckerIP" "10.1.1.1" and "UserEmail"
    // "user@branded.test".
    static std::string brandingJson();

    // One REG_SZ value under HKEY_LOCAL_MACHINE\key in the 32-bit or 64-bit view.
    void setRegistryValue(bool view64, const std::string& key, const std::string& name,
                          const std::string& data);
    // "os.version" ("10.0") and "os.productType" ("workstation", "server").
    void setOs(const std::string& version, const std::string& productType);

private:
    void writeRegistry() const;

    TempClientTree m_tree;
    ScopedEnv m_registry;
    ScopedEnv m_keys;
    ScopedEnv m_sessions;
    ScopedEnv m_sessionId;
    ScopedEnv m_hostRoot;
    std::string m_osVersion = "10.0";
    std::string m_productType = "workstation";
    // view ("view32"/"view64") -> key -> value name -> data
    std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> m_values;
};

} // namespace ktTest
