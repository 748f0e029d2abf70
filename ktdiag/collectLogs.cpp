// -o and -w: the diagnostics archive. The outputs of the system commands and the service's
// own diagnostics land in the collection folder (the public folder, which also holds the
// log); the configuration files, the client's folders and the collection folder are then
// listed and handed to the zip writer.

#include "CKTDiag.h"
#include "collectLogsInternal.h"
#include "product.h"
#include "uploadCap.h"
#include "userFolder.h"

#include "ktCrypto/ktConfigSec.h"
#include "ktCrypto/ktEncryptedFile.h"
#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/folders.h"
#include "ktPlatform/interruptCleanup.h"
#include "ktPlatform/paths.h"
#include "ktPlatform/sharedFiles.h"
#include "ktPlatform/strings.h"
#include "ktPlatform/system.h"
#include "ktPlatform/systemPrograms.h"
#include "ktUtils/fileUtil.h"
#include "ktUtils/osUtils.h"
#include "ktUtils/process.h"
#include "ktUtils/stringUtil.h"
#include "ktUtils/version.h"
#include "ktWinUtils/launchApp.h"
#include "ktmsg2/KTMsg2.h"
#include "ktmsg2/KTMsgIds.h"
#include "ktzip/ktzip.h"

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <exception>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

static const char* const kLogModule = "CKTDiag";

namespace fs = boost::filesystem;

namespace {

// What GetLastError gives for an environment variable that is not set.
constexpr int kEnvVarNotFound = 203;

// Keys, certificates and the branding file: never collected from the configuration and
// data folders, in plain or in protected form. Exact and case-sensitive.
const char* const kSkipList[] = {"ktusercert.p12",  "ktcacert.pem",     "qpatenantcert.pem",
                                 "qpaccesskey.pem", "qpaccesscert.pem", "kttenantcert.pem",
                                 "ktpubkey.pem",    "ktbranding.json"};

// Captures and dumps, which the upload form adds only while there is room.
const char* const kCappedExtensions[] = {".pcap", ".cab", ".etl", ".dmp"};

const char* const kProtectedExtension = ".enc";

// The log's lock file in the log folder, which is also the collection folder.
const char* const kLogLockName = "kt_log_mutex.lock";

// The lock files of the log and of the digests: they guard the client's own data and say
// nothing about it, so no walk collects them.
const char* const kLockFiles[] = {kLogLockName, "ktinternal.json.lock"};

bool isLockFile(const fs::path& path)
{
    const std::string name = path.filename().string();
    return std::find_if(std::begin(kLockFiles), std::end(kLockFiles),
                        [&](const char* lock) { return name == lock; }) != std::end(kLockFiles);
}

bool inSkipList(const std::string& name)
{
    return std::find_if(std::begin(kSkipList), std::end(kSkipList), [&](const char* skipped) {
               return name == skipped;
           }) != std::end(kSkipList);
}

// ASCII letters only, as the C runtime's comparison in the "C" locale.
bool equalsIgnoringCase(const std::string& a, const std::string& b)
{
    return toLowerAscii(a) == toLowerAscii(b);
}

bool isCapped(const fs::path& path)
{
    const std::string extension = path.extension().string();
    return std::find_if(std::begin(kCappedExtensions), std::end(kCappedExtensions),
                        [&](const char* capped) {
                            return equalsIgnoringCase(extension, capped);
                        }) != std::end(kCappedExtensions);
}

bool isArchive(const fs::path& path)
{
    return equalsIgnoringCase(path.extension().string(), ".zip");
}

// A regular file as it is now: the same file, unchanged since it was seen. The full time
// stamps, the status change's too, so that a rewrite within the second at the same size
// still counts as a change.
using FileState = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::int64_t,
                             std::int64_t, std::int64_t, std::int64_t>;

std::optional<FileState> stateOf(const std::string& path)
{
    ktPlatform::OpenFileInfo info{};
    if (!ktPlatform::regularFileInfo(path, info)) {
        return std::nullopt;
    }
    return FileState(info.volume, info.index, info.size, info.modified, info.modifiedNanoseconds,
                     info.changed, info.changedNanoseconds);
}

// The local zone's offset from UTC now, as "+hhmm".
std::string timeZoneText()
{
    std::string text;
    ktPlatform::localZoneOffset(static_cast<std::int64_t>(std::time(nullptr)), text);
    return text;
}

// The entries of folder that are not folders nor lock files, by name; a link is judged
// itself, never followed. A failure to open or advance the walk is logged and ends it with
// what was found so far.
std::vector<fs::path> filesIn(const std::string& folder)
{
    std::vector<fs::path> files;
    try {
        for (fs::directory_iterator it{fs::path(folder)}, end; it != end; ++it) {
            boost::system::error_code ec;
            if (!fs::is_directory(it->symlink_status(ec)) && !isLockFile(it->path())) {
                files.push_back(it->path());
            }
        }
    } catch (const fs::filesystem_error& e) {
        KTLOG(KT_LOG_ERROR, "Failed to iterate %s, error %s", folder.c_str(), e.what());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The archives of the collection folder before the service is asked for its diagnostics.
// Those still there unchanged are earlier archives: packing them would nest archives and
// break the upload cap. What the service writes meanwhile, archives included, is its own.
std::set<FileState> earlierArchivesIn(const std::string& folder)
{
    std::set<FileState> archives;
    for (const fs::path& entry : filesIn(folder)) {
        if (isArchive(entry)) {
            if (const std::optional<FileState> state = stateOf(entry.string())) {
                archives.insert(*state);
            }
        }
    }
    return archives;
}

CommandLineHook g_commandLineHook;

// A file of system-command output in the shared collection folder, made new once (what
// another account put at its name is moved aside as root) and written only through its one
// descriptor: a name opened again between lines could by then hold another account's file.
class CommandOutput {
public:
    explicit CommandOutput(std::string path)
        : m_path(std::move(path)), m_fd(ktPlatform::createSharedFile(m_path, 0600))
    {
        if (m_fd < 0) {
            KTLOG(KT_LOG_ERROR, "Failed to create %s, error %d, its commands are left out",
                  m_path.c_str(), ktPlatform::lastError());
        }
    }
    ~CommandOutput()
    {
        if (m_fd >= 0) {
            ktPlatform::closeDescriptor(m_fd);
        }
    }
    CommandOutput(const CommandOutput&) = delete;
    CommandOutput& operator=(const CommandOutput&) = delete;

    bool made() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    int m_fd;
};

// Runs the Linux lines of a system command into output, appending; the lines that did not
// run (each logged by the runner). Nothing runs when output could not be made.
std::vector<std::string> runSystemCommand(ktPlatform::SystemCommand command,
                                          const std::vector<std::string>& folders,
                                          const CommandOutput& output)
{
    std::vector<std::string> failed;
    if (!output.made()) {
        return failed;
    }
    for (const std::string& line : ktPlatform::systemCommandLines(command, folders)) {
        if (g_commandLineHook) {
            g_commandLineHook(output.path(), line);
        }
        if (!ExecCommand(line, output.fd())) {
            failed.push_back(line);
        }
    }
    return failed;
}

// Writes text, a protected file's text, to destFolder/fileName, replacing a file there.
bool writePlainCopy(const std::string& text, const std::string& fileName,
                    const std::string& destFolder, std::string& writtenPath)
{
    const std::string target = destFolder + "/" + fileName;
    ktConfigSec writer;
    if (!writer.writeFile(target, text)) {
        KTLOG(KT_LOG_ERROR, "Failed to write file = %s", target.c_str());
        return false;
    }
    writtenPath = target;
    return true;
}

// The decrypted copies of one collection. They live in a private folder (0700) of their
// own, made on first use, under the names of their protected files without ".enc"; a name
// already taken gets a numbered subfolder, so no copy replaces another. The folder goes,
// with everything in it, through removeAll, the destructor or an interrupting signal,
// whatever became of the archive.
class DecryptedCopies {
public:
    DecryptedCopies() = default;
    ~DecryptedCopies() { removeAll(); }
    DecryptedCopies(const DecryptedCopies&) = delete;
    DecryptedCopies& operator=(const DecryptedCopies&) = delete;

    // Copies the protected form of source decrypted under name; failures are logged.
    void add(const std::string& source, const std::string& name)
    {
        std::string folder;
        if (!folderFor(name, folder)) {
            return;
        }
        std::string written;
        if (CKTDiag::copyProtectedFile(source, name, folder, written)) {
            m_paths.push_back(written);
        }
    }

    // The same for a protected file of the user's folder, read as the user.
    void add(const UserFolderReader& user, const std::string& source, const std::string& name)
    {
        std::string text;
        std::string plain;
        if (user.readFile(source + kProtectedExtension, kMaxReadFileSize, text)) {
            plain = CKTEncryptedFile(ktPlatform::toWide(source), false).unprotectData(text);
        }
        if (plain.empty()) {
            KTLOG(KT_LOG_ERROR, "Failed to read file = %s", source.c_str());
            return;
        }
        std::string folder;
        std::string written;
        if (folderFor(name, folder) &&
            writePlainCopy(protectedText(plain), name, folder, written)) {
            m_paths.push_back(written);
        }
    }

    const std::vector<std::string>& paths() const { return m_paths; }

    void removeAll()
    {
        if (m_held.holding() && !m_held.remove()) {
            KTLOG(KT_LOG_ERROR, "Failed to remove %s, error %d", m_root.c_str(),
                  ktPlatform::lastError());
        }
        m_paths.clear();
        m_subfolders = 0;
    }

private:
    bool folderFor(const std::string& name, std::string& folder)
    {
        if (!m_held.holding()) {
            if (!m_held.createFolderIn(ktPlatform::temporaryRoot(), "kt.", m_root)) {
                KTLOG(KT_LOG_ERROR,
                      "Failed to create a private folder for decrypted copies, "
                      "error %d",
                      ktPlatform::lastError());
                return false;
            }
        }
        const bool taken = std::any_of(m_paths.begin(), m_paths.end(), [&](const std::string& p) {
            return fs::path(p).filename().string() == name;
        });
        if (!taken) {
            folder = m_root;
            return true;
        }
        const std::string sub = ktPlatform::joinPath(m_root, std::to_string(m_subfolders + 1));
        if (!ktPlatform::createDirectory(sub)) {
            KTLOG(KT_LOG_ERROR, "Failed to create %s, error %d", sub.c_str(),
                  ktPlatform::lastError());
            return false;
        }
        ++m_subfolders;
        folder = sub;
        return true;
    }

    ktPlatform::TemporaryPath m_held; // the private folder, with all it holds
    std::string m_root;
    int m_subfolders = 0;
    std::vector<std::string> m_paths;
};

// A protected file of a walk, read as user when given: decrypted unless its plain name is
// one never collected.
void addProtected(const fs::path& entry, DecryptedCopies& copies,
                  const UserFolderReader* user = nullptr)
{
    const std::string plainName = entry.stem().string();
    if (inSkipList(plainName)) {
        return;
    }
    const std::string source = (entry.parent_path() / plainName).string();
    if (user != nullptr) {
        copies.add(*user, source, plainName);
    } else {
        copies.add(source, plainName);
    }
}

// The text of a size lookup's failure, as the file system library words it.
std::string fileSizeError(const std::string& path, int error)
{
    return fs::filesystem_error("boost::filesystem::file_size", fs::path(path),
                                boost::system::error_code(error, boost::system::system_category()))
        .what();
}

// How a file of the shared collection folder goes into the archive.
enum class SharedEntry {
    whole,
    newestLines, // its newest kLogFileBound bytes, from a line start
    leftOut,
};

// True when the regular file at path is now the file info describes.
bool isFileAt(const ktPlatform::OpenFileInfo& info, const std::string& path)
{
    ktPlatform::OpenFileInfo at{};
    return ktPlatform::regularFileInfo(path, at) && at.volume == info.volume &&
           at.index == info.index;
}

// Decided by the file itself, as one look at it found it, not by its name alone: the log,
// the old log and the lock are root's 0666 files, which any account can give another name
// there. The lock goes in under no name; the log's files only under their own names, at
// their newest kLogFileBound bytes (any account can make them long at no cost); a sparse
// file that another account may write not at all; anything else whole.
SharedEntry howSharedFileGoesIn(const std::string& folder, const std::string& path,
                                const ktPlatform::OpenFileInfo& info)
{
    if (isFileAt(info, folder + "/" + kLogLockName)) {
        return SharedEntry::leftOut;
    }
    const std::string name = fs::path(path).filename().string();
    for (const char* logName : {kLogFileName, kOldLogFileName}) {
        if (name == logName) {
            return SharedEntry::newestLines;
        }
        if (isFileAt(info, folder + "/" + logName)) {
            return SharedEntry::leftOut;
        }
    }
    if (ktPlatform::isSparseFileAnotherAccountMayWrite(info)) {
        return SharedEntry::leftOut;
    }
    return SharedEntry::whole;
}

// What such a file adds to the archive.
std::uint64_t sharedEntrySize(SharedEntry how, const ktPlatform::OpenFileInfo& info)
{
    switch (how) {
    case SharedEntry::whole:
        return info.size;
    case SharedEntry::newestLines:
        return std::min(info.size, kLogFileBound);
    case SharedEntry::leftOut:
        break;
    }
    return 0;
}

// A file of the shared collection folder, where every account may write, opened as root
// reads it for the archive: by the single-name rule, then as howSharedFileGoesIn decides
// (EFBIG for one left out), up to the size that decision saw.
ZipInput openSharedFile(const std::string& folder, const std::string& path)
{
    std::FILE* file = ktPlatform::openSingleNameFile(path);
    if (file == nullptr) {
        return nullptr;
    }
    ktPlatform::OpenFileInfo info{};
    bool ok = ktPlatform::openFileInfo(file, info);
    if (ok) {
        switch (howSharedFileGoesIn(folder, path, info)) {
        case SharedEntry::whole:
            break;
        case SharedEntry::newestLines:
            ok = ktPlatform::seekToNewestLines(file, info.size, kLogFileBound);
            break;
        case SharedEntry::leftOut:
            ok = false;
            errno = EFBIG;
            break;
        }
    }
    if (!ok) {
        const int error = errno;
        std::fclose(file);
        errno = error;
        return nullptr;
    }
    return {file, info.size};
}

// The files of the archive's list and how each is read: the user's own as that user, those
// of the shared collection folder by openSharedFile, the rest as root and only when the
// file has no second name, which could be another account's hard link to a file that only
// root may read.
class FileList {
public:
    FileList(const UserFolderReader& user, const std::string& collectionFolder)
        : m_user(user), m_collectionFolder(collectionFolder)
    {
    }

    void add(const std::string& path) { m_paths.push_back(path); }
    void addUsers(const std::string& path)
    {
        m_paths.push_back(path);
        m_usersPaths.insert(path);
    }
    const std::vector<std::string>& paths() const { return m_paths; }

    ZipInput open(const std::string& path) const
    {
        if (isUsers(path)) {
            return m_user.openFile(path);
        }
        return isShared(path) ? openSharedFile(m_collectionFolder, path)
                              : ktPlatform::openSingleNameFile(path);
    }

    // What a listed file adds to the archive: its size, or for one of the collection folder
    // what howSharedFileGoesIn lets in; false, logged as the upload total's lookup, when it
    // cannot be had.
    bool sizeOf(const std::string& path, std::uint64_t& size) const
    {
        if (isUsers(path)) {
            if (m_user.fileSize(path, size)) {
                return true;
            }
            const std::string error =
                ktPlatform::errorText(ktPlatform::lastError()) + ": \"" + path + "\"";
            KTLOG(KT_LOG_ERROR, "exception for file_size error %s", error.c_str());
            return false;
        }
        // Never through a link.
        ktPlatform::OpenFileInfo info{};
        if (!ktPlatform::regularFileInfo(path, info)) {
            KTLOG(KT_LOG_ERROR, "exception for file_size error %s",
                  fileSizeError(path, ktPlatform::lastError()).c_str());
            return false;
        }
        size = sizeIn(path, info);
        return true;
    }

    // The same for the regular file at path as info describes it.
    std::uint64_t sizeIn(const std::string& path, const ktPlatform::OpenFileInfo& info) const
    {
        if (!isShared(path)) {
            return info.size;
        }
        return sharedEntrySize(howSharedFileGoesIn(m_collectionFolder, path, info), info);
    }

private:
    bool isUsers(const std::string& path) const { return m_usersPaths.count(path) != 0; }
    bool isShared(const std::string& path) const
    {
        return fs::path(path).parent_path() == fs::path(m_collectionFolder);
    }

    const UserFolderReader& m_user;
    std::vector<std::string> m_paths;
    std::set<std::string> m_usersPaths;
    std::string m_collectionFolder;
};

} // namespace

bool CKTDiag::copyProtectedFile(const std::string& source, const std::string& fileName,
                                const std::string& destFolder, std::string& writtenPath)
{
    ktConfigSec reader;
    reader.apply(true, std::wstring(), {});
    std::string text;
    if (!reader.readText(source, text)) {
        KTLOG(KT_LOG_ERROR, "Failed to read file = %s", source.c_str());
        return false;
    }
    return writePlainCopy(text, fileName, destFolder, writtenPath);
}

void CKTDiag::getSystemInfo(const std::string& outputFile)
{
    std::vector<std::string> folders;
    if (!ktPlatform::systemProgramFolders(folders)) {
        KTLOG(KT_LOG_ERROR, "Failed to retrieve system32 path, error %x", ktPlatform::lastError());
        return;
    }
    const CommandOutput output(outputFile);
    if (output.made() &&
        !runSystemCommand(ktPlatform::SystemCommand::systeminfo, folders, output).empty()) {
        KTLOG(KT_LOG_ERROR, "Failed to retrieve system info.");
    }
}

void CKTDiag::getInstalledApps(const std::string& outputFile)
{
    std::vector<std::string> folders;
    if (!ktPlatform::systemProgramFolders(folders)) {
        KTLOG(KT_LOG_ERROR, "Failed to retrive system32 path, error %x", ktPlatform::lastError());
        return;
    }
    const CommandOutput output(outputFile);
    for (const std::string& line :
         runSystemCommand(ktPlatform::SystemCommand::installedPrograms, folders, output)) {
        KTLOG(KT_LOG_ERROR, "%s returned %d, errno %d", line.c_str(), 0, ktPlatform::lastError());
    }
}

bool CKTDiag::collectLogs(const std::string& archiveName, bool forUpload)
{
    try {
        return collect(archiveName, forUpload);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Failed to create %s: %s", archiveName.c_str(), e.what());
        m_ktcom.stop();
        return false;
    }
}

namespace {

// The marker and version lines that open the collection's part of the log.
void logCollectionStart()
{
    const std::string timeZone = timeZoneText();
    KTLOG(KT_LOG_INFO, "======= Following log lines are collected during log collection and are "
                       "for debugging purposes only =======");
    KTLOG(KT_LOG_INFO, "Product version: %s, Timezone: %s Operating System: %s", kProductVersion,
          timeZone.c_str(), getOSVersionString().c_str());
    unsigned int major = 0;
    unsigned int minor = 0;
    if (getKernel32FileVersion(major, minor) && major >= 10) {
        KTLOG(KT_LOG_INFO, "Windows 10 release ID: %d", getReleaseId());
    }
}

} // namespace

bool CKTDiag::openUserFolder(const std::string& programDataFolder, UserFolderReader& userFolder)
{
    // The session's entry is added as a logon adds it; its folder is then collected: the
    // user's own, read as that user, or the common one when that user cannot be acted as.
    bool userFolderLeftOut = false;
    if (m_config.enablePerUserConfig()) {
        const std::uint32_t sessionId =
            getProcessSessionId(SessionIdFailureLine::processId, "ktUtils", KT_LOG_ERROR)
                .value_or(0);
        m_config.addUserConfig(sessionId, std::string(), false);
        const std::string location = ktPlatform::toNarrow(m_config.getConfigLocation(sessionId));
        if (location.empty() || location == programDataFolder) {
            userFolder = UserFolderReader();
        } else if (!userFolder.open(sessionId, location)) {
            userFolderLeftOut = true;
        }
    }
    return userFolderLeftOut;
}

namespace {

// The outputs of the system commands, into the collection folder, where they stay; false,
// logged, when the system programs' folder cannot be had and nothing ran.
bool runSystemCommands(const std::string& collectionFolder)
{
    std::vector<std::string> programFolders;
    if (!ktPlatform::systemProgramFolders(programFolders)) {
        KTLOG(KT_LOG_ERROR, "Failed to retrive system32 path, error %x", ktPlatform::lastError());
        return false;
    }

    {
        const CommandOutput networkState(collectionFolder + "/network-state.log");
        for (const ktPlatform::SystemCommand command :
             {ktPlatform::SystemCommand::ipconfig, ktPlatform::SystemCommand::route,
              ktPlatform::SystemCommand::driverquery, ktPlatform::SystemCommand::netstat}) {
            runSystemCommand(command, programFolders, networkState);
        }
    }

    CKTDiag::getInstalledApps(collectionFolder + "/appInfo.log");
    CKTDiag::getSystemInfo(collectionFolder + "/SystemInfo.log");
    return true;
}

// The protected files of the program-data folder, decrypted; its plain files go into the
// archive only by name.
void decryptProtectedFilesIn(const std::string& programDataFolder, DecryptedCopies& copies)
{
    for (const fs::path& entry : filesIn(programDataFolder)) {
        if (entry.extension() == kProtectedExtension) {
            addProtected(entry, copies);
        }
    }
}

// The files of a configuration folder to list: the plain ones but for those never
// collected. Its protected files are decrypted into copies meanwhile, read as user when
// given.
std::vector<std::string> configurationFiles(const std::vector<fs::path>& entries,
                                            DecryptedCopies& copies,
                                            const UserFolderReader* user = nullptr)
{
    std::vector<std::string> listed;
    for (const fs::path& entry : entries) {
        if (isLockFile(entry)) {
            continue;
        }
        if (entry.extension() == kProtectedExtension) {
            addProtected(entry, copies, user);
        } else if (!inSkipList(entry.filename().string())) {
            listed.push_back(entry.string());
        }
    }
    return listed;
}

// The files of the collection folder, but for earlier archives, the archive itself and the
// unfinished files this run holds; files of another program named like them are its own.
std::vector<std::string> collectionFiles(const std::string& collectionFolder,
                                         const std::set<FileState>& earlierArchives,
                                         const std::string& archiveName)
{
    const std::optional<FileState> archive = stateOf(archiveName);
    const auto sameFile = [](const FileState& a, const FileState& b) {
        return std::get<0>(a) == std::get<0>(b) && std::get<1>(a) == std::get<1>(b);
    };
    std::vector<std::string> collected;
    for (const fs::path& entry : filesIn(collectionFolder)) {
        if (ktPlatform::isHeldPath(entry.string())) {
            continue;
        }
        // Another account's link could lead anywhere: not followed, not sized, and its line
        // the same wherever it leads.
        boost::system::error_code ec;
        if (fs::is_symlink(fs::symlink_status(entry, ec))) {
            KTLOG(KT_LOG_WARNING, "Error opening %s for reading, skipping", entry.string().c_str());
            continue;
        }
        const std::optional<FileState> state = stateOf(entry.string());
        if (state && archive && sameFile(*state, *archive)) {
            continue;
        }
        if (state && isArchive(entry) && earlierArchives.count(*state) != 0) {
            continue;
        }
        collected.push_back(entry.string());
    }
    return collected;
}

// A capture or dump of the upload form, held back as a candidate for the cap at what it
// adds to the archive; one that adds nothing or of no size to be had (a link is not
// followed) is left out.
void addCandidate(const std::string& path, const FileList& files,
                  std::vector<FileSizeRecord>& candidates)
{
    ktPlatform::OpenFileInfo info{};
    if (!ktPlatform::regularFileInfo(path, info)) {
        KTLOG(KT_LOG_ERROR, "exception error for file_size %s",
              fileSizeError(path, ktPlatform::lastError()).c_str());
    } else if (const std::uint64_t size = files.sizeIn(path, info); size > 0) {
        candidates.push_back({path, size});
    }
}

// Lists the candidates that fit under the upload cap beside the files listed so far.
void addWithinUploadCap(FileList& files, std::vector<FileSizeRecord> candidates)
{
    std::uint64_t total = 0;
    for (const std::string& path : files.paths()) {
        std::uint64_t size = 0;
        if (files.sizeOf(path, size)) {
            total += size;
        }
    }
    const UploadChoice choice = chooseUploadFiles(total, std::move(candidates));
    for (const std::string& path : choice.added) {
        files.add(path);
    }
    for (const SkippedFile& skipped : choice.skipped) {
        KTLOG(KT_LOG_INFO, "skipped file from log upload %s , max allowed size reached=%llu bytes",
              skipped.path.c_str(), static_cast<unsigned long long>(skipped.totalBytes));
    }
}

// Where the archive's entries come from, as the collection found them before listing any.
struct EntrySources {
    const std::string& programDataFolder;
    const std::string& collectionFolder;
    const UserFolderReader& userFolder; // open when the configuration folder is the user's
    bool userFolderLeftOut;             // its user cannot be had: none of its files is listed
    const std::set<FileState>& earlierArchives; // of the collection folder before GET_DIAG
    const std::string& archiveName;
    bool forUpload;
};

// The archive's entries, in the order the zip writer takes them, each with the way it is
// read. Protected files met on the way are decrypted into copies, which go in after the
// collection folder.
FileList listArchiveEntries(const EntrySources& from, DecryptedCopies& copies)
{
    const std::string& programData = from.programDataFolder;
    const UserFolderReader& user = from.userFolder;
    FileList files(user, from.collectionFolder);

    // 1. The configuration files by name, whether they exist or not: the zip writer skips
    //    missing ones. The configuration folder's two come from the user's folder when it
    //    is open, from the program-data folder when there is none, not at all when it is
    //    left out.
    for (const char* name : {"/ktuserconfig.json", "/ktconfig.json", "/dps.json",
                             "/installereventcache.json", "/certutil/certutil.json"}) {
        files.add(programData + name);
    }
    if (user.isOpen()) {
        files.addUsers(user.folder() + "/ktuser.conf");
        files.addUsers(user.folder() + "/eventcache.json");
    } else if (!from.userFolderLeftOut) {
        files.add(programData + "/ktuser.conf");
        files.add(programData + "/eventcache.json");
    }

    // 2. The program-data folder's protected files, decrypted.
    decryptProtectedFilesIn(programData, copies);

    // 3. The user's folder, read as the user, then the data folder.
    if (user.isOpen()) {
        const std::vector<std::string> userFiles = user.files();
        const std::vector<fs::path> entries(userFiles.begin(), userFiles.end());
        for (const std::string& path : configurationFiles(entries, copies, &user)) {
            files.addUsers(path);
        }
    }
    for (const std::string& path : configurationFiles(filesIn(programData + "/data"), copies)) {
        files.add(path);
    }

    // 4. The collection folder, then the decrypted copies; the upload form holds its
    //    captures and dumps back for the cap.
    std::vector<std::string> collected =
        collectionFiles(from.collectionFolder, from.earlierArchives, from.archiveName);
    collected.insert(collected.end(), copies.paths().begin(), copies.paths().end());
    std::vector<FileSizeRecord> candidates;
    for (const std::string& path : collected) {
        if (from.forUpload && isCapped(path)) {
            addCandidate(path, files, candidates);
        } else {
            files.add(path);
        }
    }

    // 5. The upload form: the captures and dumps that fit under the cap, smallest first.
    if (from.forUpload) {
        addWithinUploadCap(files, std::move(candidates));
    }
    return files;
}

} // namespace

bool CKTDiag::collect(const std::string& archiveName, bool forUpload)
{
    m_keptArchive.clear();
    logCollectionStart();

    const std::optional<std::string> collectionFolder = ktPlatform::publicFolder();
    if (!collectionFolder) {
        KTLOG(KT_LOG_ERROR, "Failed to retrieve PUBLIC path, error %d", kEnvVarNotFound);
        return false;
    }
    // Another account's folder or link would lead root's outputs and reads elsewhere.
    std::string why;
    if (!ktPlatform::isTrustedSharedFolder(*collectionFolder, &why)) {
        KTLOG(KT_LOG_ERROR, "%s is not used: %s", collectionFolder->c_str(), why.c_str());
        return false;
    }
    const std::optional<std::string> programDataFolder = ktPlatform::configFolder();
    if (!programDataFolder) {
        KTLOG(KT_LOG_ERROR, "Failed to retrieve ProgramData path, error %d", kEnvVarNotFound);
        return false;
    }
    UserFolderReader userFolder;
    const bool userFolderLeftOut = openUserFolder(*programDataFolder, userFolder);

    if (!runSystemCommands(*collectionFolder)) {
        return false;
    }
    const std::set<FileState> earlierArchives = earlierArchivesIn(*collectionFolder);
    requestServiceDiagnostics(*collectionFolder);

    DecryptedCopies copies;
    const FileList files =
        listArchiveEntries({*programDataFolder, *collectionFolder, userFolder, userFolderLeftOut,
                            earlierArchives, archiveName, forUpload},
                           copies);

    if (!zipFiles(
            archiveName.c_str(), files.paths(),
            [&](const std::string& path) { return files.open(path); }, &m_keptArchive)) {
        KTLOG(KT_LOG_ERROR, "Failed to create %s", archiveName.c_str());
        return false;
    }
    copies.removeAll();
    KTLOG(KT_LOG_INFO, "======= Log collection complete =======");
    return true;
}

void CKTDiag::requestServiceDiagnostics(const std::string& folder)
{
    KTMsg2 msg;
    msg.m_msgId = GET_DIAG;
    msg.AddItem("Diag", folder);
    // What the service wrote by now is collected; its reply is not examined.
    if (request(msg, RESP_DIAG, m_timeouts.diagMs, Readiness::quiet) == Outcome::notSent) {
        KTLOG(KT_LOG_ERROR, "Send Message to merivonsvc failed");
    }
    m_ktcom.stop();
}

void setCommandLineHook(CommandLineHook hook)
{
    g_commandLineHook = std::move(hook);
}
