#include "ktTest/clientTree.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace ktTest {

namespace {

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
        }
        out += ch;
    }
    return out + "\"";
}

} // namespace

ClientTree::ClientTree()
    : m_registry("KTDIAG_REGISTRY_FILE", m_tree.root() + "/registry.json"),
      m_keys("KTDIAG_DPAPI_KEY_DIR", m_tree.root() + "/keys"),
      m_sessions("KTDIAG_SESSIONS_DIR", std::string()),
      m_sessionId("KTDIAG_SESSION_ID", std::nullopt),
      m_hostRoot("KTDIAG_HOST_ROOT", m_tree.root() + "/host")
{
    fs::create_directories(m_tree.root() + "/keys");
    fs::create_directories(m_tree.root() + "/host");
    writeRegistry();
}

std::string ClientTree::configFolder() const
{
    return m_tree.programDataRoot() + "/kestrani/merivon";
}

std::string ClientTree::dataFolder() const
{
    return configFolder() + "/data";
}

void ClientTree::writeConfigFile(const std::string& name, const std::string& content)
{
    fs::create_directories(configFolder());
    writeAll(configFolder() + "/" + name, content);
}

void ClientTree::writeInternal(const std::string& json)
{
    fs::create_directories(dataFolder());
    writeAll(dataFolder() + "/ktinternal.json", json);
}

void ClientTree::writeDigest(const std::string& key, const std::string& text)
{
    fs::create_directories(dataFolder());
    if (!saveDigest(ktPlatform::toWide(dataFolder()), text, key)) {
        throw std::runtime_error("the digest could not be saved");
    }
}

void ClientTree::writeClientConfig(const std::string& json, bool protectedForm, bool withDigest)
{
    fs::create_directories(configFolder());
    if (protectedForm) {
        CKTEncryptedFile file(ktPlatform::toWide(configFilePath()), false);
        if (!file.write(json)) {
            throw std::runtime_error("the protected file could not be written");
        }
    } else {
        writeAll(configFilePath(), json);
    }
    if (!withDigest) {
        return;
    }
    boost::property_tree::ptree tree;
    std::istringstream in(json);
    boost::property_tree::read_json(in, tree);
    if (const auto section = tree.get_child_optional("clientConfig")) {
        std::ostringstream out;
        boost::property_tree::write_json(out, *section, true);
        writeDigest("d4", out.str());
    }
}

void ClientTree::writeBranding(const std::string& json, bool protectedForm, bool userScope,
                               const std::string& folder)
{
    const std::string target = folder.empty() ? configFolder() : folder;
    fs::create_directories(target);
    const std::string path = target + "/ktbranding.json";
    if (!protectedForm) {
        writeAll(path, json);
        return;
    }
    CKTEncryptedFile file(ktPlatform::toWide(path), userScope);
    if (!file.write(json)) {
        throw std::runtime_error("the protected branding file could not be written");
    }
}

std::string ClientTree::brandingJson()
{
    return R"({"UserKey":"uk-1","OrgKey":"ok-1","OrgName":"Org One",)"
           R"("AddonManagerHost":"addon.branded.test","AddonCheckerHost":"checker.branded.test",)"
           R"("SFCheckerHost":"sf.branded.test","sfCheck":{"SFCheckerIP":"10.1.1.1"},)"
           R"("UserEmail":"user@branded.test"})";
}

std::string ClientTree::readClientConfig(bool protectedForm) const
{
    if (!protectedForm) {
        return readAll(configFilePath());
    }
    CKTEncryptedFile file(ktPlatform::toWide(configFilePath()), false);
    std::string data;
    file.read(data);
    if (!data.empty() && data.back() == '\0') {
        data.pop_back();
    }
    return data;
}

void ClientTree::setRegistryValue(bool view64, const std::string& key, const std::string& name,
                                  const std::string& data)
{
    m_values[view64 ? "view64" : "view32"]["HKEY_LOCAL_MACHINE\\" + key][name] = data;
    writeRegistry();
}

void ClientTree::setOs(const std::string& version, const std::string& productType)
{
    m_osVersion = version;
    m_productType = productType;
    writeRegistry();
}

void ClientTree::writeRegistry() const
{
    std::string json = "{\"os\":{\"version\":" + jsonString(m_osVersion) +
                       ",\"productType\":" + jsonString(m_productType) + "}";
    for (const char* view : {"view32", "view64"}) {
        json += std::string(",\"") + view + "\":{";
        const auto found = m_values.find(view);
        bool firstKey = true;
        if (found != m_values.end()) {
            for (const auto& [key, values] : found->second) {
                json += (firstKey ? "" : ",") + jsonString(key) + ":{";
                firstKey = false;
                bool firstValue = true;
                for (const auto& [name, data] : values) {
                    json += (firstValue ? "" : ",") + jsonString(name) +
                            ":{\"type\":\"REG_SZ\",\"data\":" + jsonString(data) + "}";
                    firstValue = false;
                }
                json += "}";
            }
        }
        json += "}";
    }
    writeAll(m_tree.root() + "/registry.json", json + "}");
}

} // namespace ktTest
