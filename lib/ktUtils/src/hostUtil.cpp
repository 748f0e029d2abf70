#include "ktUtils/hostUtil.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/system.h"

static const char* const kLogModule = "ktUtils";

bool getComputerName(std::string& name)
{
    std::string host;
    if (!ktPlatform::hostName(host)) {
        KTLOG(KT_LOG_ERROR, "gethostname failed, err: %d", ktPlatform::lastError());
        return false;
    }
    KTLOG(KT_LOG_DEBUG, "Computer Name: %s", host.c_str());
    name = host;
    return true;
}

bool isWow64Process()
{
    return ktPlatform::isWow64Process();
}
