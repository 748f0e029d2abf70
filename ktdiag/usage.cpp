#include "usage.h"

#include "ktUtils/fileUtil.h"

#include <boost/filesystem.hpp>
#include <cstdio>
#include <string>

namespace {

// Five placeholders: four event-trace extensions, then the default output folder.
const char* const kUsageFormat =
    "Usage: ktdiag -o <file>.zip\n"
    "       ktdiag -c start [-o <filename>.pcap] [-s <snap length>]\n"
    "       ktdiag -c stop\n"
    "       ktdiag -p start [-o <filename>%s] [-s <file size>]\n"
    "       ktdiag -p stop\n"
    "       ktdiag -d start [-o <filename>%s]\n"
    "       ktdiag -d stop\n"
    "       ktdiag -u \n"
    "       ktdiag -g upload -s [1mb | 10mb | 100mb]\n"
    "       ktdiag -r <URL> \n"
    "       ktdiag -g download -s [1mb | 10mb | 100mb]\n"
    "       ktdiag -l [debug | info | warning | error | critical]\n"
    "       ktdiag -m \n"
    "       ktdiag -n \n"
    "       ktdiag [-h | -v]\n"
    "\n"
    "Options:\n"
    " -o <file>.zip              Save logs and diagnostics to output <file>.zip \n"
    " -c start                   Start capturing inner packet dump to <filename>.pcap\n"
    " -p start                   Start capturing outer packet dump to <filename>%s\n"
    " -d start                   Start capturing driver logs in <filename>%s\n"
    " -o <filename>.<extension>  Output will be created in default directory \"%s\"\n"
    "                            If filename is not specified than default filename will be used\n"
    "                            Filename should NOT be a path as output will always be created in "
    "default directory\n"
    " -s <snap length>           If snap length is not specified, entire packet will be captured\n"
    " -m <file size>             File size(in MB's) must be less than 1024 and non zero, e.g "
    "ktdiag -m 2\n"
    " -c stop                    Stop capturing inner packet dump\n"
    " -p stop                    Stop capturing outer packet dump\n"
    " -d stop                    Stop capturing driver logs.\n"
    " -u                         Update configuration\n"
    " -h                         Show this help\n"
    " -v                         Show Kestrani Client version\n"
    " -r                         Show time values of website access \n"
    "  -g                         Perform Speed Test operation, supports [upload | download] "
    "operation\n"
    "                            Supported file size are 1mb, 10mb, 100mb & should be provided by "
    "-s. File size is mandatory.\n"
    " -g upload                  Performs upload Speed Test for specified size\n"
    " -g download                Performs download Speed Test for specified size\n"
    " -l                         Set the Kestrani client log level\n"
    " -n                         Get QPA status\n"
    " -f                         Get client status\n"
    " Note: ktdiag options are case sensitive.\n";

// The public folder made absolute and canonical, '/' as the only separator. A folder
// that does not exist yet has no canonical form: its absolute, normalised form is shown.
std::string defaultOutputFolder()
{
    std::string folder;
    if (!getPublicFolderPath(folder)) {
        return std::string();
    }
    boost::system::error_code ec;
    boost::filesystem::path canonical = boost::filesystem::canonical(folder, ec);
    if (ec) {
        canonical = boost::filesystem::absolute(folder, ec);
        if (ec) {
            return folder;
        }
        canonical = canonical.lexically_normal();
    }
    return canonical.generic_string();
}

} // namespace

void printUsage()
{
    const std::string folder = defaultOutputFolder();
    std::printf(kUsageFormat, ".etl", ".etl", ".etl", ".etl", folder.c_str());
}
