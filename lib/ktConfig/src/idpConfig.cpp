#include "ktConfig/idpConfig.h"

#include "configValue.h"
#include "ktLog/ktLog.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/ptree.hpp>

#include <exception>

static const char* const kLogModule = "idpConfig";
static const char* const kIdpFileName = "ktidpconfig.json";

const char* const kIdpAuthService = "ktauth";
const char* const kIdpAuthenticatePath = "/ktauth/client/authenticate";
const char* const kIdpGetCertPath = "/ktauth/client/get/cert";

bool idpConfig::readIdpConfig()
{
    const std::wstring path = m_location + L"/" + L"ktidpconfig.json";
    std::string content;
    if (!readFile(path.c_str(), content)) {
        KTLOG(KT_LOG_INFO, "failed to read %s file, %ls", kIdpFileName, path.c_str());
        return false;
    }
    if (content.empty()) {
        KTLOG(KT_LOG_ERROR, "file: %ls is empty", path.c_str());
        return false;
    }
    try {
        boost::property_tree::ptree tree;
        readJsonBounded(content, tree);
        const std::string domain =
            ktConfigValue::text(tree, "serviceProvider.domain").value_or(std::string());
        if (domain.size() >= 2) {
            m_domain = domain;
        }
        if (m_domain.empty()) {
            KTLOG(KT_LOG_INFO, "idpconfig has service provider domain name empty");
        } else {
            KTLOG(KT_LOG_INFO, "idpconfig has service provider domain name %s", m_domain.c_str());
        }
        const std::string tenant =
            ktConfigValue::text(tree, "serviceProvider.tenant").value_or(std::string());
        if (!tenant.empty()) {
            m_tenant = tenant;
        }
        if (m_tenant.empty()) {
            KTLOG(KT_LOG_INFO, "idpconfig has service provider tenant name empty");
        } else {
            KTLOG(KT_LOG_INFO, "idpconfig has service provider tenant name %s", m_tenant.c_str());
        }
        m_requestEmail = ktConfigValue::getBool(tree, "requestEmail").value_or(false);
        KTLOG(KT_LOG_INFO, "%s: %d", "requestEmail", m_requestEmail ? 1 : 0);
    } catch (const std::exception& e) {
        // A file that is not JSON holds no settings: not loaded.
        KTLOG(KT_LOG_ERROR, "%s parsing error: %s", kIdpFileName, e.what());
        return false;
    }
    return true;
}
