// The branding file: its plain and protected forms, the conversion of a plain file that asks
// for protection, and its reading into the configuration (two layouts).

#include "ktConfig/branding.h"

#include "configInternal.h"
#include "ktCrypto/ktEncryptedFile.h"
#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktRestApi/addonmanapi.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/jsonUtil.h"
#include "ktUtils/stringUtil.h"

#include <boost/property_tree/ptree.hpp>

#include <exception>
#include <optional>

static const char* const kLogModule = "branding";
// The reader is Config's and logs as Config.
static const char* const kConfigModule = "Config";

namespace {

const char* const kEncryptionWord = "encryptbranding";
constexpr std::string::size_type kEncryptionWordLength = 15;
// Most characters between the word and its "true": a closing quote, blanks, a colon and an
// opening quote.
constexpr std::string::size_type kEncryptionValueDistance = 5;

std::wstring protectedPath(const std::wstring& path)
{
    return path + L".enc";
}

// The keys of one layout, in the order they are read; the first five are required.
struct BrandingLayout {
    const char* userKey;
    const char* orgKey;
    const char* orgName;
    const char* addonManagerHost;
    const char* addonCheckerHost;
    const char* sfCheckerHost;
    const char* sfCheckerIP;
    const char* userEmail;
};

const BrandingLayout kFlatLayout = {"UserKey",
                                    "OrgKey",
                                    "OrgName",
                                    "AddonManagerHost",
                                    "AddonCheckerHost",
                                    "SFCheckerHost",
                                    "sfCheck.SFCheckerIP",
                                    "UserEmail"};
const BrandingLayout kNestedLayout = {"data.brandingdata.UserKey",
                                      "data.brandingdata.OrgKey",
                                      "data.brandingdata.OrgName",
                                      "data.brandingdata.AddonManagerHost",
                                      "data.brandingdata.AddonCheckerHost",
                                      "data.brandingdata.SFCheckerHost",
                                      "sfCheck.data.brandingdata.SFCheckerIP",
                                      "data.brandingdata.UserEmail"};

// The scalar at the dotted key (a string, number, true, false or null); nullopt when it is
// absent or an object or array.
std::optional<std::string> scalar(const boost::property_tree::ptree& tree, const char* key)
{
    const auto child = tree.get_child_optional(boost::property_tree::ptree::path_type(key, '.'));
    if (!child || !child->empty()) {
        return std::nullopt;
    }
    return child->data();
}

// Reads one layout over values; false with the reason when a required key is missing.
bool readLayout(const boost::property_tree::ptree& tree, const BrandingLayout& layout,
                BrandingValues& values, std::string& error)
{
    const struct {
        const char* key;
        std::string* value;
    } required[] = {{layout.userKey, &values.userKey},
                    {layout.orgKey, &values.orgKey},
                    {layout.orgName, &values.orgName},
                    {layout.addonManagerHost, &values.addonManagerHost},
                    {layout.addonCheckerHost, &values.addonCheckerHost}},
      optional[] = {{layout.sfCheckerHost, &values.sfCheckerHost},
                    {layout.sfCheckerIP, &values.sfCheckerIP},
                    {layout.userEmail, &values.userEmail}};
    for (const auto& item : required) {
        auto value = scalar(tree, item.key);
        if (!value) {
            error = std::string("No such node (") + item.key + ")";
            return false;
        }
        *item.value = std::move(*value);
    }
    for (const auto& item : optional) {
        if (auto value = scalar(tree, item.key)) {
            *item.value = std::move(*value);
        }
    }
    return true;
}

} // namespace

bool isBrandingEncryptionEnabled(const std::wstring& path, std::string text)
{
    if (pathExists(protectedPath(path))) {
        KTLOG(KT_LOG_DEBUG, "Encrypted file in place: %ls", protectedPath(path).c_str());
        return true;
    }
    text = toLowerAscii(std::move(text));
    const auto word = text.find(kEncryptionWord);
    KTLOG(KT_LOG_INFO, "Encryption config %d -- %d", static_cast<int>(text.size()),
          word == std::string::npos ? -1 : static_cast<int>(word));
    if (word != std::string::npos) {
        const auto value = text.find("true", word + kEncryptionWordLength);
        KTLOG(KT_LOG_DEBUG, "Encryption config %d %d", static_cast<int>(word),
              value == std::string::npos ? -1 : static_cast<int>(value));
        if (value != std::string::npos &&
            value <= word + kEncryptionWordLength + kEncryptionValueDistance) {
            return true;
        }
    }
    KTLOG(KT_LOG_INFO, "Encryption configuration is disabled by default");
    return false;
}

bool isBrandingConversionNeeded(const std::wstring& path, const std::string& text)
{
    return isBrandingEncryptionEnabled(path, text) && !pathExists(protectedPath(path));
}

bool readBrandingFile(bool userScope, std::string& text, const std::wstring& path,
                      const std::optional<std::string>& beneath)
{
    if (isBrandingEncryptionEnabled(path, text)) {
        CKTEncryptedFile file(path, userScope);
        return file.read(text, beneath);
    }
    return beneath ? readFileBeneath(*beneath, path.c_str(), text) : readFile(path.c_str(), text);
}

bool writeBrandingFile(bool userScope, const std::wstring& path, const std::string& text)
{
    if (isBrandingEncryptionEnabled(path, text)) {
        CKTEncryptedFile file(path, userScope);
        return file.write(text);
    }
    return writeFile(path.c_str(), text);
}

bool removeBrandingFile(const std::wstring& path)
{
    return deleteFile(path.c_str()) || deleteFile(protectedPath(path).c_str());
}

bool Config::Impl::readBranding(CUserConfig& userConfig)
{
    const std::wstring path = userConfig.m_location + L"/" + L"ktbranding.json";
    const bool userScope = m_enablePerUserConfig;
    std::string text;
    if (!readBrandingFile(userScope, text, path, userConfig.m_userHome)) {
        KTLOG_M(kConfigModule, KT_LOG_ERROR, "Failed to read branding file %ls", path.c_str());
        return false;
    }
    if (isBrandingConversionNeeded(path, text)) {
        KTLOG_M(kConfigModule, KT_LOG_INFO, "encrypting branding file, %ls", path.c_str());
        // The plain file goes only once its protected counterpart is there.
        if (writeBrandingFile(userScope, path, text) && pathExists(protectedPath(path))) {
            KTLOG_M(kConfigModule, KT_LOG_INFO, "deleting old branding file, %ls", path.c_str());
            if (!deleteFile(path.c_str())) {
                KTLOG_M(kConfigModule, KT_LOG_WARNING, "failed to delete %ls, err: %d",
                        path.c_str(), ktPlatform::lastError());
            }
        }
    }

    const std::string json = protectedText(text);
    // Nothing usable is never a reason to delete the file: it may be the only copy.
    if (json.empty()) {
        KTLOG_M(kConfigModule, KT_LOG_ERROR, "Branding file: %ls is empty", path.c_str());
        return false;
    }
    BrandingValues values = m_branding;
    try {
        boost::property_tree::ptree tree;
        readJsonBounded(json, tree);
        std::string error;
        if (!readLayout(tree, kFlatLayout, values, error)) {
            // The second layout alone, never mixed with what the first one found.
            values = m_branding;
            if (!readLayout(tree, kNestedLayout, values, error)) {
                KTLOG_M(kConfigModule, KT_LOG_ERROR, "Failed to parse branding file %ls, error: %s",
                        path.c_str(), error.c_str());
                return false;
            }
        }
    } catch (const std::exception& e) {
        KTLOG_M(kConfigModule, KT_LOG_ERROR, "Failed to parse branding file %ls, error: %s",
                path.c_str(), e.what());
        return false;
    }
    m_branding = values;
    userConfig.m_userEmail = m_branding.userEmail;
    userConfig.m_userKey = m_branding.userKey;
    userConfig.m_brandingRead = true;
    m_addonManApi->setAddonHost(m_branding.addonManagerHost);
    KTLOG_M(kConfigModule, KT_LOG_INFO, "Read branding file successfully: %ls", path.c_str());
    return true;
}
