#pragma once
// Access tokens and impersonation. A token is the identity of one account, from passwd;
// LOCAL SYSTEM is effective uid 0. Impersonation changes only the calling thread's
// file-system identity (setfsuid/setfsgid) and supplementary groups, never the process's
// uids, so other threads keep theirs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ktPlatform {

// Stands for a token handle: uid, primary gid, account name and home folder.
struct Token {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string name;
    std::string home;
};

// Stands for GetUserNameA: the account of the calling thread's file-system identity (the
// impersonated user while impersonating); the uid in decimal when passwd does not know it.
std::string currentUserName();

// Stands for the process token's user SID as text: "S-1-5-18" for effective uid 0, else
// "S-1-22-1-" and the effective uid.
std::string processUserSid();
// Stands for CreateWellKnownSid(WinLocalSystemSid) as text: "S-1-5-18".
std::string localSystemSid();

// Stands for OpenProcessToken(GetCurrentProcess()): the effective uid and gid, with the
// name and home from passwd when it knows them. Always true.
bool processToken(Token& token);

// Stands for WTSQueryUserToken: the token of the user of a session (ktPlatform/sessions.h).
// False (errno ENOENT) when the session or its user's passwd entry does not exist.
bool sessionUserToken(std::uint32_t sessionId, Token& token);

// Stands for ExpandEnvironmentStringsForUserW: replaces each %NAME% of source by its value
// for token's user. Names, in any letter case: APPDATA (for the process's own user its
// per-user application-data root, ktPlatform/folders.h; for another user <home>/.config),
// USERPROFILE, HOMEPATH and HOME (the home folder), USERNAME (the account name). Any other
// name, a lone "%" and "%%" stay as written. False (errno ENOENT) when a name above has no
// value for that user (no home, an empty APPDATA); false (errno ERANGE) when the result and
// its terminating zero need more than capacity characters. expanded is set only on success.
bool expandEnvironmentStringsForUser(const Token& token, const std::wstring& source,
                                     std::wstring& expanded, std::size_t capacity);

// Stands for ImpersonateLoggedOnUser and RevertToSelf on the calling thread. begin remembers
// the identity it found and end restores that one, so scopes nest when they end in reverse
// order. Not root: begin succeeds and changes nothing. Movable within its thread, not
// copyable; the destructor ends an active scope.
class ThreadImpersonation {
public:
    ThreadImpersonation() = default;
    ~ThreadImpersonation();
    ThreadImpersonation(ThreadImpersonation&& other) noexcept;
    ThreadImpersonation& operator=(ThreadImpersonation&& other) noexcept;
    ThreadImpersonation(const ThreadImpersonation&) = delete;
    ThreadImpersonation& operator=(const ThreadImpersonation&) = delete;

    // Takes token's uid and gid for file access, and its user's supplementary groups (the
    // group database's, with the primary group; the primary group alone when the database
    // has no entry for the name); an active scope is ended first. False (errno EPERM) when
    // the kernel refuses, with the thread's identity unchanged.
    bool begin(const Token& token);
    // Restores the identity and groups found by begin and leaves the scope inactive; true
    // when none was active. False (errno EPERM) when the kernel refuses.
    bool end();
    bool active() const { return m_active; }

private:
    bool m_active = false;
    std::uint32_t m_savedUid = 0;
    std::uint32_t m_savedGid = 0;
    std::vector<std::uint32_t> m_savedGroups;
};

} // namespace ktPlatform
