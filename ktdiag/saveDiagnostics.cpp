#include "saveDiagnostics.h"

#include "CKTDiag.h"
#include "usage.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/paths.h"
#include "ktPlatform/sharedFiles.h"
#include "ktUtils/fileUtil.h"

#include <boost/filesystem.hpp>
#include <cstdio>

static const char* const kLogModule = "CKTDiag";

namespace {

void reportUnwritable(int error)
{
    std::fprintf(stderr, "Failed to create output file: %s\n",
                 ktPlatform::errorText(error).c_str());
    KTLOG_M("ktUtils", KT_LOG_ERROR,
            "Failed to create file as output location is not write accessible");
}

// The file-name element as boost gives it: "." when the name ends in a separator.
std::string fileNameElement(const std::string& name)
{
    try {
        return boost::filesystem::path(name).filename().string();
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string extensionOf(const std::string& name)
{
    try {
        return boost::filesystem::path(name).extension().string();
    } catch (const std::exception&) {
        return std::string();
    }
}

void withZipExtension(std::string& archiveName)
{
    if (extensionOf(archiveName) != ".zip") {
        archiveName += ".zip";
    }
}

int reportFailure(const std::string& archiveName)
{
    std::printf("Failed to save diagnostics to %s\n", archiveName.c_str());
    KTLOG(KT_LOG_ERROR, "Failed to save diagnostics to %s", archiveName.c_str());
    return 2;
}

} // namespace

int saveDiagnostics(std::string& archiveName, bool forUpload)
{
    if (archiveName.empty()) {
        std::printf("Invalid argument: %s, %s\n\n", archiveName.c_str(), " File is not specified");
        printUsage();
        return 1;
    }

    const std::string::size_type separator = archiveName.rfind(ktPlatform::kPathSeparator);
    if (separator == std::string::npos) {
        // A bare name goes into the public folder; without one, or when another account made
        // it or a link there, there is nowhere safe to write, and the root must never be
        // used in its place.
        std::string folder;
        if (!getPublicFolderPath(folder)) {
            // As the collection would fail for want of that folder, without starting it.
            withZipExtension(archiveName);
            return reportFailure(archiveName);
        }
        archiveName = ktPlatform::joinPath(folder, archiveName);
        if (!ktPlatform::isTrustedSharedFolder(folder)) {
            withZipExtension(archiveName);
            return reportFailure(archiveName);
        }
    } else {
        const std::string folder = separator == 0 ? std::string(1, ktPlatform::kPathSeparator)
                                                  : archiveName.substr(0, separator);
        if (!ktPlatform::probeFolderWritable(folder)) {
            reportUnwritable(ktPlatform::lastError());
            return 1;
        }
        // "." when the name ends in a separator; the root itself when nothing else is left.
        const std::string fileName = fileNameElement(archiveName);
        if (fileName.empty() || fileName == "." ||
            fileName.find_first_not_of(ktPlatform::kPathSeparator) == std::string::npos) {
            std::printf("Invalid argument: %s, %s\n\n", archiveName.c_str(),
                        "File is not specified");
            printUsage();
            return 1;
        }
    }

    withZipExtension(archiveName);

    CKTDiag diag;
    diag.start();
    ktPlatform::deleteSharedName(archiveName);

    if (diag.collectLogs(archiveName, forUpload)) {
        std::printf("Successfully saved diagnostics to %s\n", archiveName.c_str());
        KTLOG(KT_LOG_INFO, "Saved diagnostics to %s successfully", archiveName.c_str());
        return 0;
    }
    const int exitCode = reportFailure(archiveName);
    if (!diag.keptArchive().empty()) {
        // Otherwise only the log would say where the finished archive is.
        std::printf("The finished archive is kept as %s\n", diag.keptArchive().c_str());
    }
    return exitCode;
}
