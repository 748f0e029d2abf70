#include "ktPlatform/tokens.h"

#include "ktPlatform/folders.h"
#include "ktPlatform/paths.h"
#include "ktPlatform/sessions.h"
#include "ktPlatform/strings.h"
#include "identity.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ktPlatform {

namespace {

// An invalid id makes setfsuid/setfsgid change nothing and report the current value.
constexpr uid_t kQueryUid = static_cast<uid_t>(-1);
constexpr gid_t kQueryGid = static_cast<gid_t>(-1);

bool setIdentity(std::uint32_t uid, std::uint32_t gid)
{
    ::setfsgid(static_cast<gid_t>(gid));
    ::setfsuid(static_cast<uid_t>(uid));
    if (currentFsUid() != uid || currentFsGid() != gid) {
        errno = EPERM;
        return false;
    }
    return true;
}

// The kernel keeps supplementary groups per thread; getgroups reads the caller's.
bool threadGroups(std::vector<std::uint32_t>& groups)
{
    const int count = ::getgroups(0, nullptr);
    if (count < 0) {
        return false;
    }
    std::vector<gid_t> found(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, found.data());
    if (got < 0) {
        return false;
    }
    groups.assign(found.begin(), found.begin() + got);
    return true;
}

// The system call itself: glibc's setgroups changes every thread of the process.
bool setThreadGroups(const std::vector<std::uint32_t>& groups)
{
    const std::vector<gid_t> list(groups.begin(), groups.end());
    if (::syscall(SYS_setgroups, list.size(), list.data()) != 0) {
        errno = EPERM;
        return false;
    }
    return true;
}

// token's user's groups from the group database, with the primary group first.
std::vector<std::uint32_t> userGroups(const Token& token)
{
    const std::vector<std::uint32_t> primaryOnly{token.gid};
    if (token.name.empty()) {
        return primaryOnly;
    }
    const long most = std::max(::sysconf(_SC_NGROUPS_MAX), 1L);
    int room = 64;
    for (;;) {
        std::vector<gid_t> found(static_cast<std::size_t>(room));
        int count = room;
        if (::getgrouplist(token.name.c_str(), static_cast<gid_t>(token.gid), found.data(),
                           &count) >= 0) {
            found.resize(static_cast<std::size_t>(std::min<long>(count, most)));
            return std::vector<std::uint32_t>(found.begin(), found.end());
        }
        // count now says how many there are.
        if (count <= room || room >= most) {
            return primaryOnly;
        }
        room = static_cast<int>(std::min<long>(count, most));
    }
}

} // namespace

std::uint32_t currentFsUid()
{
    return static_cast<std::uint32_t>(::setfsuid(kQueryUid));
}

std::uint32_t currentFsGid()
{
    return static_cast<std::uint32_t>(::setfsgid(kQueryGid));
}

bool lookupUser(std::uint32_t uid, Token& token)
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    int rc = 0;
    while ((rc = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(),
                              &result)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || result == nullptr) {
        errno = rc != 0 ? rc : ENOENT;
        return false;
    }
    token.uid = uid;
    token.gid = static_cast<std::uint32_t>(entry.pw_gid);
    token.name = entry.pw_name != nullptr ? entry.pw_name : "";
    token.home = entry.pw_dir != nullptr ? entry.pw_dir : "";
    return true;
}

std::string currentUserName()
{
    const std::uint32_t uid = currentFsUid();
    Token token;
    if (lookupUser(uid, token)) {
        return token.name;
    }
    return std::to_string(uid);
}

std::string processUserSid()
{
    const uid_t euid = ::geteuid();
    return euid == 0 ? localSystemSid() : "S-1-22-1-" + std::to_string(euid);
}

std::string localSystemSid()
{
    return "S-1-5-18";
}

bool processToken(Token& token)
{
    Token own;
    if (!lookupUser(static_cast<std::uint32_t>(::geteuid()), own)) {
        own.uid = static_cast<std::uint32_t>(::geteuid());
        own.name = std::to_string(own.uid);
        own.home.clear();
    }
    own.gid = static_cast<std::uint32_t>(::getegid());
    token = own;
    return true;
}

bool sessionUserToken(std::uint32_t sessionId, Token& token)
{
    std::uint32_t uid = 0;
    if (!sessionUserId(sessionId, uid)) {
        return false;
    }
    return lookupUser(uid, token);
}

namespace {

// The value of one environment name for token's user; nullopt for a name not known here,
// an empty optional string inside when the name is known but has no value.
std::optional<std::optional<std::string>> userVariable(const Token& token, std::string name)
{
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    const auto orNone = [](const std::string& value) {
        return value.empty() ? std::optional<std::string>() : std::optional<std::string>(value);
    };
    if (name == "APPDATA") {
        // The environment is the process's own: another user's root is found from the home.
        if (token.uid == static_cast<std::uint32_t>(::geteuid())) {
            return appDataRoot();
        }
        return token.home.empty() ? std::optional<std::string>()
                                  : std::optional<std::string>(joinPath(token.home, ".config"));
    }
    if (name == "USERPROFILE" || name == "HOMEPATH" || name == "HOME") {
        return orNone(token.home);
    }
    if (name == "USERNAME") {
        return orNone(token.name);
    }
    return std::nullopt;
}

} // namespace

bool expandEnvironmentStringsForUser(const Token& token, const std::wstring& source,
                                     std::wstring& expanded, std::size_t capacity)
{
    std::wstring out;
    std::wstring::size_type pos = 0;
    while (pos < source.size()) {
        const auto open = source.find(L'%', pos);
        if (open == std::wstring::npos) {
            out.append(source, pos, std::wstring::npos);
            break;
        }
        out.append(source, pos, open - pos);
        const auto close = source.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            out.append(source, open, std::wstring::npos);
            break;
        }
        const std::wstring name = source.substr(open + 1, close - open - 1);
        const auto value = name.empty() ? std::nullopt : userVariable(token, toNarrow(name));
        if (!value) {
            out.append(source, open, close - open + 1);
        } else if (!*value) {
            errno = ENOENT;
            return false;
        } else {
            out += toWide(**value);
        }
        pos = close + 1;
    }
    if (out.size() + 1 > capacity) {
        errno = ERANGE;
        return false;
    }
    expanded = out;
    return true;
}

ThreadImpersonation::~ThreadImpersonation()
{
    end();
}

ThreadImpersonation::ThreadImpersonation(ThreadImpersonation&& other) noexcept
    : m_active(other.m_active), m_savedUid(other.m_savedUid), m_savedGid(other.m_savedGid),
      m_savedGroups(std::move(other.m_savedGroups))
{
    other.m_active = false;
}

ThreadImpersonation& ThreadImpersonation::operator=(ThreadImpersonation&& other) noexcept
{
    if (this != &other) {
        end();
        m_active = other.m_active;
        m_savedUid = other.m_savedUid;
        m_savedGid = other.m_savedGid;
        m_savedGroups = std::move(other.m_savedGroups);
        other.m_active = false;
    }
    return *this;
}

bool ThreadImpersonation::begin(const Token& token)
{
    if (!end()) {
        return false;
    }
    if (::geteuid() != 0) {
        return true;
    }
    const std::uint32_t uid = currentFsUid();
    const std::uint32_t gid = currentFsGid();
    std::vector<std::uint32_t> groups;
    if (!threadGroups(groups)) {
        errno = EPERM;
        return false;
    }
    // Looked up while the thread is still itself: the group database may not be the user's
    // to read.
    const std::vector<std::uint32_t> wanted = userGroups(token);
    if (!setThreadGroups(wanted)) {
        return false;
    }
    if (!setIdentity(token.uid, token.gid)) {
        const int saved = errno;
        setIdentity(uid, gid);
        setThreadGroups(groups);
        errno = saved;
        return false;
    }
    m_savedUid = uid;
    m_savedGid = gid;
    m_savedGroups = std::move(groups);
    m_active = true;
    return true;
}

bool ThreadImpersonation::end()
{
    if (!m_active) {
        return true;
    }
    m_active = false;
    const bool identity = setIdentity(m_savedUid, m_savedGid);
    const int saved = errno;
    const bool groups = setThreadGroups(m_savedGroups);
    if (!identity) {
        errno = saved;
    }
    return identity && groups;
}

} // namespace ktPlatform
