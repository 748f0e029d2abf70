// ktbenchtool: the project's own code doing one job of scripts/bench as a whole process, so
// that the script times it side by side with the tool a user would otherwise run.
//   ktbenchtool digest <file> <folder>   HMAC-SHA1 of the file, stored as "d2" in
//                                        <folder>/ktinternal.json and printed
//   ktbenchtool log <lines>              <lines> info lines through the shared log

#include "ktLog/ktLog.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: ktbenchtool digest <file> <folder> | log <lines>\n");
    return 2;
}

int digest(const char* file, const char* folder)
{
    const std::wstring wideFolder = ktPlatform::toWide(folder);
    if (!saveFileDigest(wideFolder, ktPlatform::toWide(file), "d2")) {
        std::fprintf(stderr, "ktbenchtool: no digest of %s\n", file);
        return 1;
    }
    try {
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(std::string(folder) + "/ktinternal.json", tree);
        std::printf("%s\n", tree.get<std::string>("d2").c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ktbenchtool: %s\n", e.what());
        return 1;
    }
    return 0;
}

int logLines(const char* count)
{
    char* end = nullptr;
    const long lines = std::strtol(count, &end, 10);
    if (*count == '\0' || *end != '\0' || lines < 0) {
        return usage();
    }
    if (!ktLogInit()) {
        std::fprintf(stderr, "ktbenchtool: no log folder\n");
        return 1;
    }
    g_programName = "ktbenchtool";
    g_logLevel = KT_LOG_INFO;
    static const char* const kLogModule = "bench";
    for (long i = 0; i < lines; ++i) {
        KTLOG(KT_LOG_INFO, "bench line %ld of %ld: the quick brown fox jumps over the lazy dog",
              i, lines);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    ktPlatform::initProcessLocale();
    if (argc == 4 && std::strcmp(argv[1], "digest") == 0) {
        return digest(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "log") == 0) {
        return logLines(argv[2]);
    }
    return usage();
}
