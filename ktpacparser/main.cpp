// ktpacparser: evaluates a PAC script for one URL and prints the result.
//
//   ktpacparser <url> <pac file>
//
// Standard output gets the entries of the result joined by "; ", each a keyword in upper
// case, alone (DIRECT) or followed by one blank and its address ("PROXY host:port"), with
// no line end. Exit code 0 on success, 1 on any failure (reason on standard error). The
// program reads only the PAC file; the script's own host look-ups are its only network use.
// Before it reads anything it limits its own address space and processor time, so a script
// that allocates or loops without end fails here instead of costing the machine.

#include "ktPlatform/files.h"
#include "ktPlatform/process.h"

#include <pacparser.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer's shadow memory takes terabytes of address space, so the address space cannot
// be capped; the sanitizer's own limit on resident memory stands in.
extern "C" const char* __asan_default_options()
{
    return "hard_rss_limit_mb=512";
}
extern "C" const char* __tsan_default_options()
{
    return "hard_rss_limit_mb=512";
}
#endif

namespace {

// Far above what the engine needs for a real script (about 16 MiB of address space) and
// its host look-ups; a script's own allocations fail beyond it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint64_t kMaxAddressSpace = 0;
#else
constexpr std::uint64_t kMaxAddressSpace = 256u * 1024u * 1024u;
#endif
// A real script evaluates in milliseconds; host look-ups wait without using the processor.
constexpr unsigned kMaxCpuSeconds = 5;

// A PAC script is a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxPacBytes = 16 * 1024 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool readPacFile(const std::string& path, std::string& script, std::string& error)
{
    std::unique_ptr<std::FILE, FileCloser> file(ktPlatform::openRegularFile(path, "rb"));
    if (!file) {
        error = ktPlatform::errorText(errno);
        return false;
    }
    script.clear();
    char buffer[64 * 1024];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
        if (script.size() + n > kMaxPacBytes) {
            error = "larger than 16 MiB";
            return false;
        }
        script.append(buffer, n);
    }
    if (std::ferror(file.get())) {
        error = ktPlatform::errorText(errno);
        return false;
    }
    // The script goes to the engine as a C string.
    if (script.find('\0') != std::string::npos) {
        error = "holds a zero byte";
        return false;
    }
    return true;
}

// The host of an absolute URL: after "scheme://", before the path, query or fragment,
// without user information, port or the brackets of an IPv6 address. Empty when none.
std::string hostOf(const std::string& url)
{
    const std::string::size_type sep = url.find("://");
    if (sep == std::string::npos || sep == 0) {
        return std::string();
    }
    for (std::string::size_type i = 0; i < sep; ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') {
            return std::string();
        }
    }
    const std::string::size_type start = sep + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    const std::string::size_type at = authority.rfind('@');
    if (at != std::string::npos) {
        authority.erase(0, at + 1);
    }
    if (!authority.empty() && authority[0] == '[') {
        const std::string::size_type close = authority.find(']');
        return close == std::string::npos ? std::string() : authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::vector<std::string> words(const std::string& entry)
{
    std::vector<std::string> out;
    std::string::size_type i = 0;
    while (i < entry.size()) {
        while (i < entry.size() && isSpace(entry[i])) {
            ++i;
        }
        std::string::size_type end = i;
        while (end < entry.size() && !isSpace(entry[end])) {
            ++end;
        }
        if (end > i) {
            out.push_back(entry.substr(i, end - i));
        }
        i = end;
    }
    return out;
}

bool printable(const std::string& word)
{
    for (const char c : word) {
        if (c <= ' ' || c >= 0x7f) {
            return false;
        }
    }
    return true;
}

// The script's answer in one canonical form: entries split at ';', empty ones dropped,
// blanks trimmed, the keyword in upper case. The answer ends at the first entry that is
// not a keyword alone or a keyword and one address of printable characters.
std::string canonicalResult(const std::string& answer)
{
    std::string out;
    std::string::size_type pos = 0;
    while (pos <= answer.size()) {
        std::string::size_type end = answer.find(';', pos);
        if (end == std::string::npos) {
            end = answer.size();
        }
        std::vector<std::string> parts = words(answer.substr(pos, end - pos));
        pos = end + 1;
        if (parts.empty()) {
            continue;
        }
        if (parts.size() > 2 || !printable(parts[0]) ||
            (parts.size() == 2 && !printable(parts[1]))) {
            break;
        }
        for (char& c : parts[0]) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (!out.empty()) {
            out += "; ";
        }
        out += parts[0];
        if (parts.size() == 2) {
            out += ' ';
            out += parts[1];
        }
    }
    return out;
}

// The engine is process-wide state: set up once, torn down on every path.
class PacEngine {
public:
    PacEngine() : m_ok(pacparser_init() != 0) {}
    ~PacEngine()
    {
        if (m_ok) {
            pacparser_cleanup();
        }
    }
    PacEngine(const PacEngine&) = delete;
    PacEngine& operator=(const PacEngine&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

// The answer belongs to the engine and goes with it.
const char* findProxy(const std::string& url, const std::string& host)
{
#if defined(__SANITIZE_ADDRESS__)
    // The library never frees a copy it makes of each query; only its own bytes.
    __lsan::ScopedDisabler libraryAllocations;
#endif
    return pacparser_find_proxy(url.c_str(), host.c_str());
}

int fail(const std::string& reason)
{
    std::fprintf(stderr, "ktpacparser: %s\n", reason.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (!ktPlatform::limitOwnResources(kMaxAddressSpace, kMaxCpuSeconds)) {
        return fail("cannot limit its own resources: " + ktPlatform::errorText(errno));
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: ktpacparser <url> <pac file>\n");
        return 1;
    }
    const std::string url = argv[1];
    const std::string pacPath = argv[2];

    // The engine pastes the URL and host into script text unescaped: a quote or backslash
    // would break out of the string literal, so such URLs are refused.
    for (const unsigned char c : url) {
        if (c == '"' || c == '\\' || c == '\'' || c < 0x20 || c == 0x7f) {
            return fail("refusing a URL with quotes, backslashes or control characters");
        }
    }

    const std::string host = hostOf(url);
    if (host.empty()) {
        return fail("no host in URL " + url);
    }
    std::string script;
    std::string error;
    if (!readPacFile(pacPath, script, error)) {
        return fail("cannot read PAC file " + pacPath + ": " + error);
    }

    std::string answer;
    {
        PacEngine engine;
        if (!engine.ok()) {
            return fail("cannot start the script engine");
        }
        if (pacparser_parse_pac_string(script.c_str()) == 0) {
            return fail("cannot parse PAC file " + pacPath);
        }
        const char* proxy = findProxy(url, host);
        if (proxy == nullptr) {
            return fail("FindProxyForURL failed for " + url);
        }
        answer = proxy;
    }

    const std::string result = canonicalResult(answer);
    if (std::fwrite(result.data(), 1, result.size(), stdout) != result.size() ||
        std::fflush(stdout) != 0) {
        return fail("cannot write the result");
    }
    return 0;
}
