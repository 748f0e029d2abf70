#include "ktzip/ktzip.h"

#include "ktzipInternal.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/strings.h"
#include "ktPlatform/system.h"

#include <minizip/zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <tuple>

static const char* const kLogModule = "ktzip";

namespace ktzip {
std::uint64_t g_zip64From = kZip64From;
void (*g_wrapArchiveIo)(zlib_filefunc64_def& io) = nullptr;
} // namespace ktzip

namespace {

constexpr size_t kCopyBufferSize = 16384;
// General-purpose flag bit 11: the entry name is UTF-8.
constexpr uLong kUtf8NameFlag = 0x800;
// "Made by" MS-DOS, the zip library's own default.
constexpr uLong kVersionMadeBy = 0;

// The first and last moments a zip (DOS) date can hold; tm_year counts from 1900.
constexpr tm_zip kFirstZipDate = {0, 0, 0, 1, 0, 80};
constexpr tm_zip kLastZipDate = {58, 59, 23, 31, 11, 207};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

tm_zip toZipDate(const ktPlatform::LocalTime& t)
{
    if (t.year < 1980) {
        return kFirstZipDate;
    }
    if (t.year > 2107) {
        return kLastZipDate;
    }
    tm_zip date{};
    date.tm_sec = static_cast<uInt>(t.second);
    date.tm_min = static_cast<uInt>(t.minute);
    date.tm_hour = static_cast<uInt>(t.hour);
    date.tm_mday = static_cast<uInt>(t.day);
    date.tm_mon = static_cast<uInt>(t.month - 1);
    date.tm_year = static_cast<uInt>(t.year - 1900);
    return date;
}

bool isUtf8(const std::string& text)
{
    return ktPlatform::toNarrow(ktPlatform::toWide(text)) == text;
}

std::string baseName(const std::string& path)
{
    const std::string::size_type cut = path.find_last_of("\\/");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The archive file as the zip library sees it: created without following a link at its
// path, known by identity so that it is never packed into itself, and watched for failed
// writes, since the library does not report every one (a failed flush while an entry is
// finished is overwritten by the next deflate result).
struct ArchiveTarget {
    bool known = false;
    ktPlatform::OpenFileInfo info{};
    write_file_func write = nullptr;
    bool writeFailed = false;
};

voidpf ZCALLBACK openArchive(voidpf opaque, const void* filename, int mode)
{
    if (filename == nullptr || (mode & ZLIB_FILEFUNC_MODE_CREATE) == 0) {
        return nullptr;
    }
    std::FILE* f = ktPlatform::openFileNoFollow(static_cast<const char*>(filename), "wb");
    if (f != nullptr) {
        auto* target = static_cast<ArchiveTarget*>(opaque);
        target->known = ktPlatform::openFileInfo(f, target->info);
    }
    return f;
}

uLong ZCALLBACK writeArchive(voidpf opaque, voidpf stream, const void* buf, uLong size)
{
    auto* target = static_cast<ArchiveTarget*>(opaque);
    const uLong written = target->write(opaque, stream, buf, size);
    if (written != size) {
        target->writeFailed = true;
    }
    return written;
}

// Owns an open archive; close() reports the result, the destructor only cleans up.
class Archive {
public:
    Archive(const char* path, ArchiveTarget& target)
    {
        zlib_filefunc64_def io{};
        fill_fopen64_filefunc(&io);
        if (ktzip::g_wrapArchiveIo != nullptr) {
            ktzip::g_wrapArchiveIo(io);
        }
        io.zopen64_file = openArchive;
        target.write = io.zwrite_file;
        io.zwrite_file = writeArchive;
        io.opaque = &target;
        m_zip = zipOpen2_64(path, APPEND_STATUS_CREATE, nullptr, &io);
    }
    ~Archive()
    {
        if (m_zip != nullptr) {
            zipClose(m_zip, nullptr);
        }
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    zipFile get() const { return m_zip; }
    int close()
    {
        const int result = zipClose(m_zip, nullptr);
        m_zip = nullptr;
        return result;
    }

private:
    zipFile m_zip = nullptr;
};

enum class EntryResult { added, skipped, failed, stop };

// Volume, file index and entry name: the same file under the same name goes in once.
using EntryKey = std::tuple<std::uint64_t, std::uint64_t, std::string>;

class Writer {
public:
    Writer(zipFile zip, ArchiveTarget& target) : m_zip(zip), m_target(target) {}

    EntryResult add(const std::string& path)
    {
        FilePtr in(ktPlatform::openFileNoFollow(path, "rb"));
        if (!in) {
            KTLOG(KT_LOG_WARNING, "Error opening %s for reading, skipping", path.c_str());
            return EntryResult::skipped;
        }
        const std::string name = baseName(path);
        ktPlatform::OpenFileInfo info{};
        const bool known = ktPlatform::openFileInfo(in.get(), info);
        if (known) {
            if (m_target.known && info.volume == m_target.info.volume &&
                info.index == m_target.info.index) {
                KTLOG(KT_LOG_WARNING, "%s is the archive itself, skipping", path.c_str());
                return EntryResult::skipped;
            }
            if (!m_added.emplace(info.volume, info.index, name).second) {
                KTLOG(KT_LOG_INFO, "%s already added, skipping", path.c_str());
                return EntryResult::skipped;
            }
        }

        zip_fileinfo entry{};
        entry.tmz_date = entryDate(path, known, info);
        const uLong flags = isUtf8(name) ? kUtf8NameFlag : 0;
        // Without a size, zip64 is the form that is right for every size.
        const int zip64 = !known || info.size >= ktzip::g_zip64From ? 1 : 0;
        int err =
            zipOpenNewFileInZip4_64(m_zip, name.c_str(), &entry, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                    Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeBy, flags, zip64);
        if (err != ZIP_OK) {
            KTLOG(KT_LOG_ERROR, "Error %d creating file %s in zip", err, name.c_str());
            return EntryResult::stop;
        }
        const bool failedBefore = m_target.writeFailed;
        bool whole = copy(in.get(), path);
        in.reset();
        err = zipCloseFileInZip(m_zip);
        if (err == ZIP_OK && whole && m_target.writeFailed && !failedBefore) {
            err = ZIP_ERRNO;
        }
        if (err != ZIP_OK) {
            KTLOG(KT_LOG_ERROR, "Error %d closing %s in the zipfile", err, path.c_str());
            whole = false;
        }
        return whole ? EntryResult::added : EntryResult::failed;
    }

private:
    tm_zip entryDate(const std::string& path, bool known, const ktPlatform::OpenFileInfo& info)
    {
        ktPlatform::LocalTime local{};
        if (known && ktPlatform::localTimeOf(info.modified, local)) {
            return toZipDate(local);
        }
        KTLOG(KT_LOG_ERROR, "Failed to get modified time of %s, error %d,", path.c_str(),
              ktPlatform::lastError());
        return kFirstZipDate;
    }

    // Streams the file into the open entry; false when it could not be copied whole.
    bool copy(std::FILE* in, const std::string& path)
    {
        char buffer[kCopyBufferSize];
        for (;;) {
            const size_t n = std::fread(buffer, 1, sizeof(buffer), in);
            const bool readFailed = n < sizeof(buffer) && !std::feof(in);
            if (readFailed) {
                KTLOG(KT_LOG_ERROR, "error in reading %s", path.c_str());
            }
            if (n > 0) {
                const int err = zipWriteInFileInZip(m_zip, buffer, static_cast<unsigned>(n));
                if (err < 0) {
                    KTLOG(KT_LOG_ERROR, "Error %d writing %s in the zipfile", err, path.c_str());
                    return false;
                }
            }
            if (readFailed) {
                return false;
            }
            if (n < sizeof(buffer)) {
                return true;
            }
        }
    }

    zipFile m_zip;
    ArchiveTarget& m_target;
    std::set<EntryKey> m_added;
};

bool zipFilesUnguarded(const char* archivePath, const std::vector<std::string>& files)
{
    if (archivePath == nullptr || files.empty()) {
        KTLOG(KT_LOG_ERROR, "Invalid input params.");
        return false;
    }
    ArchiveTarget target;
    Archive archive(archivePath, target);
    if (archive.get() == nullptr) {
        KTLOG(KT_LOG_ERROR, "Error opening %s", archivePath);
        return false;
    }
    bool whole = true;
    {
        Writer writer(archive.get(), target);
        for (const std::string& path : files) {
            const EntryResult result = writer.add(path);
            if (result == EntryResult::failed) {
                whole = false;
            } else if (result == EntryResult::stop) {
                // The archive may be unusable after a failed entry header: close it now.
                whole = false;
                break;
            }
        }
    }
    const bool failedBefore = target.writeFailed;
    int err = archive.close();
    if (err == ZIP_OK && target.writeFailed && !failedBefore) {
        err = ZIP_ERRNO;
    }
    if (err != ZIP_OK) {
        KTLOG(KT_LOG_ERROR, "Error %d closing zip file %s", err, archivePath);
        return false;
    }
    if (!whole) {
        return false;
    }
    KTLOG(KT_LOG_INFO, "Created %s", archivePath);
    return true;
}

} // namespace

bool zipFiles(const char* archivePath, const std::vector<std::string>& files)
{
    try {
        return zipFilesUnguarded(archivePath, files);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Error writing zip file %s: %s",
              archivePath != nullptr ? archivePath : "(null)", e.what());
        return false;
    }
}

bool getFileModifiedTime(const char* path, tm_zip_s& date)
{
    std::int64_t seconds = 0;
    ktPlatform::LocalTime local{};
    if (path == nullptr) {
        errno = EINVAL;
    } else if (ktPlatform::fileModifiedTime(path, seconds) &&
               ktPlatform::localTimeOf(seconds, local)) {
        date = toZipDate(local);
        return true;
    }
    KTLOG(KT_LOG_ERROR, "Failed to get modified time of %s, error %d,",
          path != nullptr ? path : "(null)", ktPlatform::lastError());
    return false;
}
