#include "ktzip/ktzip.h"

#include "ktzipInternal.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/files.h"
#include "ktPlatform/interruptCleanup.h"
#include "ktPlatform/sharedFiles.h"
#include "ktPlatform/strings.h"
#include "ktPlatform/system.h"

#include <minizip/zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
// An input whose size could not be had is read to its end.
constexpr std::uint64_t kUnknownSize = ~std::uint64_t(0);
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

// The archive file as the zip library sees it: a new file that only the caller can read,
// made beside the archive's path and moved onto it once the archive is whole, so nothing is
// ever written through a file that someone else put at that path, and a failed or
// interrupted run leaves no half-made archive. Known by identity so that it is never packed
// into itself, and watched for failed writes, since the library does not report every one
// (a failed flush while an entry is finished is overwritten by the next deflate result).
struct ArchiveTarget {
    int fd = -1; // the new file until the zip library takes it over
    bool known = false;
    ktPlatform::OpenFileInfo info{};
    // The file that the archive replaces: packing it would nest an archive in its successor.
    bool replacesKnown = false;
    ktPlatform::OpenFileInfo replaces{};
    write_file_func write = nullptr;
    close_file_func close = nullptr;
    bool writeFailed = false;
};

voidpf ZCALLBACK openArchive(voidpf opaque, const void* filename, int mode)
{
    auto* target = static_cast<ArchiveTarget*>(opaque);
    if (filename == nullptr || (mode & ZLIB_FILEFUNC_MODE_CREATE) == 0 || target->fd < 0) {
        return nullptr;
    }
    std::FILE* f = ktPlatform::openDescriptor(target->fd, "wb");
    if (f != nullptr) {
        target->fd = -1;
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

// The archive reaches the disk before it takes the archive's name.
int ZCALLBACK closeArchive(voidpf opaque, voidpf stream)
{
    auto* target = static_cast<ArchiveTarget*>(opaque);
    if (!ktPlatform::flushToDisk(static_cast<std::FILE*>(stream))) {
        target->writeFailed = true;
    }
    return target->close(opaque, stream);
}

// Owns an open archive; close() reports the result, the destructor only cleans up.
class Archive {
public:
    Archive(const std::string& path, ArchiveTarget& target)
    {
        zlib_filefunc64_def io{};
        fill_fopen64_filefunc(&io);
        if (ktzip::g_wrapArchiveIo != nullptr) {
            ktzip::g_wrapArchiveIo(io);
        }
        io.zopen64_file = openArchive;
        target.write = io.zwrite_file;
        io.zwrite_file = writeArchive;
        target.close = io.zclose_file;
        io.zclose_file = closeArchive;
        io.opaque = &target;
        m_zip = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
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

// failed: the archive could not take the entry's data; stop: nor its header.
enum class EntryResult { added, skipped, failed, stop };

bool sameFile(const ktPlatform::OpenFileInfo& a, const ktPlatform::OpenFileInfo& b)
{
    return a.volume == b.volume && a.index == b.index;
}

// Volume, file index and entry name: the same file under the same name goes in once.
using EntryKey = std::tuple<std::uint64_t, std::uint64_t, std::string>;

class Writer {
public:
    Writer(zipFile zip, ArchiveTarget& target, const ZipInputOpener& open)
        : m_zip(zip), m_target(target), m_open(open)
    {
    }

    EntryResult add(const std::string& path)
    {
        const ZipInput input = m_open(path);
        FilePtr in(input.file);
        if (!in) {
            KTLOG(KT_LOG_WARNING, "Error opening %s for reading, skipping", path.c_str());
            return EntryResult::skipped;
        }
        const std::string name = baseName(path);
        ktPlatform::OpenFileInfo info{};
        const bool known = ktPlatform::openFileInfo(in.get(), info);
        if (known) {
            if ((m_target.known && sameFile(info, m_target.info)) ||
                (m_target.replacesKnown && sameFile(info, m_target.replaces))) {
                KTLOG(KT_LOG_WARNING, "%s is the archive itself, skipping", path.c_str());
                return EntryResult::skipped;
            }
            if (!m_added.emplace(info.volume, info.index, name).second) {
                KTLOG(KT_LOG_INFO, "%s already added, skipping", path.c_str());
                return EntryResult::skipped;
            }
        }

        // The first bytes are read before the entry is started, so an input that cannot be
        // read at all leaves no empty entry behind. What goes in starts where the opener
        // left the input and ends at the size it had then.
        std::uint64_t limit = kUnknownSize;
        if (known || input.size) {
            const std::uint64_t size = input.size.value_or(info.size);
            const std::int64_t at = ktPlatform::streamPosition(in.get());
            limit = at >= 0 && static_cast<std::uint64_t>(at) <= size
                        ? size - static_cast<std::uint64_t>(at)
                        : size;
        }
        char buffer[kCopyBufferSize];
        const Chunk first = read(in.get(), path, buffer, limit);
        if (first.failed && first.size == 0) {
            if (known) {
                m_added.erase(EntryKey(info.volume, info.index, name));
            }
            KTLOG(KT_LOG_WARNING, "Nothing of %s could be read, skipping", path.c_str());
            return EntryResult::skipped;
        }

        zip_fileinfo entry{};
        entry.tmz_date = entryDate(path, known, info);
        const uLong flags = isUtf8(name) ? kUtf8NameFlag : 0;
        // Without a size, zip64 is the form that is right for every size.
        const int zip64 = limit >= ktzip::g_zip64From ? 1 : 0;
        int err =
            zipOpenNewFileInZip4_64(m_zip, name.c_str(), &entry, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                    Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeBy, flags, zip64);
        if (err != ZIP_OK) {
            KTLOG(KT_LOG_ERROR, "Error %d creating file %s in zip", err, name.c_str());
            return EntryResult::stop;
        }
        const bool failedBefore = m_target.writeFailed;
        // A file that grows while it is read goes in as it was when opened.
        bool written = copy(in.get(), path, buffer, first, limit);
        in.reset();
        err = zipCloseFileInZip(m_zip);
        if (err == ZIP_OK && written && m_target.writeFailed && !failedBefore) {
            err = ZIP_ERRNO;
        }
        if (err != ZIP_OK) {
            KTLOG(KT_LOG_ERROR, "Error %d closing %s in the zipfile", err, path.c_str());
            written = false;
        }
        return written ? EntryResult::added : EntryResult::failed;
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

    struct Chunk {
        size_t size = 0;
        bool failed = false; // the read broke off: nothing more is to be had
        bool last = false;   // no more to read, by the limit, the end of the file or a failure
    };

    // Reads the next bytes, at most a buffer's worth and no more than the limit left.
    static Chunk read(std::FILE* in, const std::string& path, char* buffer, std::uint64_t limit)
    {
        Chunk chunk;
        const size_t want = static_cast<size_t>(std::min<std::uint64_t>(kCopyBufferSize, limit));
        chunk.size = want > 0 ? std::fread(buffer, 1, want, in) : 0;
        chunk.failed = chunk.size < want && !std::feof(in);
        if (chunk.failed) {
            KTLOG(KT_LOG_ERROR, "error in reading %s", path.c_str());
        }
        chunk.last = chunk.size < want || chunk.size == limit;
        return chunk;
    }

    // Streams the chunk already read and what follows, up to limit bytes in all (fewer when
    // the file ends or a read breaks off first: the entry then ends short), into the open
    // entry; false only when the archive could not take the data.
    bool copy(std::FILE* in, const std::string& path, char* buffer, Chunk chunk,
              std::uint64_t limit)
    {
        for (;;) {
            if (chunk.size > 0) {
                const int err =
                    zipWriteInFileInZip(m_zip, buffer, static_cast<unsigned>(chunk.size));
                if (err < 0) {
                    KTLOG(KT_LOG_ERROR, "Error %d writing %s in the zipfile", err, path.c_str());
                    return false;
                }
            }
            if (chunk.last) {
                return true;
            }
            limit -= chunk.size;
            chunk = read(in, path, buffer, limit);
        }
    }

    zipFile m_zip;
    ArchiveTarget& m_target;
    const ZipInputOpener& m_open;
    std::set<EntryKey> m_added;
};

// The new file beside the archive's path that becomes the archive.
class NewArchiveFile {
public:
    explicit NewArchiveFile(const std::string& archivePath)
    {
        m_held.createFileBeside(archivePath, m_path, m_fd);
    }
    ~NewArchiveFile()
    {
        if (m_fd >= 0) {
            ktPlatform::closeDescriptor(m_fd);
        }
    }
    NewArchiveFile(const NewArchiveFile&) = delete;
    NewArchiveFile& operator=(const NewArchiveFile&) = delete;

    bool ok() const { return m_held.holding(); }
    const std::string& path() const { return m_path; }
    // The descriptor, for the zip library to take over.
    int take()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Moves the finished file onto archivePath. It is kept either way: where that name
    // cannot be had, the archive stays under its own.
    bool moveTo(const std::string& archivePath)
    {
        m_held.keep();
        return ktPlatform::renameOntoSharedName(m_path, archivePath);
    }

private:
    std::string m_path;
    int m_fd = -1;
    ktPlatform::TemporaryPath m_held;
};

bool zipFilesUnguarded(const char* archivePath, const std::vector<std::string>& files,
                       const ZipInputOpener& open, std::string& keptAs)
{
    if (archivePath == nullptr || files.empty()) {
        KTLOG(KT_LOG_ERROR, "Invalid input params.");
        return false;
    }
    NewArchiveFile file(archivePath);
    if (!file.ok()) {
        KTLOG(KT_LOG_ERROR, "Error opening %s", archivePath);
        return false;
    }
    ArchiveTarget target;
    target.replacesKnown = ktPlatform::regularFileInfo(archivePath, target.replaces);
    target.fd = file.take();
    Archive archive(file.path(), target);
    if (target.fd >= 0) {
        ktPlatform::closeDescriptor(target.fd);
    }
    if (archive.get() == nullptr) {
        KTLOG(KT_LOG_ERROR, "Error opening %s", archivePath);
        return false;
    }
    // Only the archive's own writes decide the result: an input that cannot be read is
    // skipped or ends short.
    bool entriesWritten = true;
    {
        Writer writer(archive.get(), target, open);
        for (const std::string& path : files) {
            const EntryResult result = writer.add(path);
            if (result == EntryResult::failed) {
                entriesWritten = false;
            } else if (result == EntryResult::stop) {
                // The archive may be unusable after a failed entry header: close it now.
                entriesWritten = false;
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
    if (!entriesWritten) {
        return false;
    }
    if (!file.moveTo(archivePath)) {
        KTLOG(KT_LOG_ERROR, "Failed to move %s to %s, error %d; the archive is kept as %s",
              file.path().c_str(), archivePath, ktPlatform::lastError(), file.path().c_str());
        keptAs = file.path();
        return false;
    }
    KTLOG(KT_LOG_INFO, "Created %s", archivePath);
    return true;
}

} // namespace

bool zipFiles(const char* archivePath, const std::vector<std::string>& files)
{
    return zipFiles(archivePath, files, ktPlatform::openSingleNameFile);
}

bool zipFiles(const char* archivePath, const std::vector<std::string>& files,
              const ZipInputOpener& open, std::string* keptAs)
{
    std::string kept;
    bool written = false;
    try {
        written = zipFilesUnguarded(archivePath, files, open, kept);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "Error writing zip file %s: %s",
              archivePath != nullptr ? archivePath : "(null)", e.what());
    }
    if (keptAs != nullptr) {
        *keptAs = kept;
    }
    return written;
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
