#include "groupMembers.h"

#include "identity.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace ktPlatform {

namespace {

constexpr uid_t kDefaultFirstPersonUid = 1000;
// The account database's buffers grow up to this on ERANGE.
constexpr std::size_t kMaxEntryBuffer = 1u << 20;

// getpwent_r still walks one database position per process.
std::mutex g_walkMutex;

bool isPerson(uid_t uid, uid_t firstPerson)
{
    return uid != 0 && uid != ::geteuid() && uid >= firstPerson;
}

std::optional<uid_t> uidOf(const std::string& name)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc = 0;
    while ((rc = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < kMaxEntryBuffer) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || found == nullptr) {
        return std::nullopt;
    }
    return entry.pw_uid;
}

struct GroupEntry {
    std::string name;
    std::vector<std::string> members; // the names it lists
};

std::optional<GroupEntry> groupEntry(gid_t gid)
{
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    int rc = 0;
    while ((rc = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < kMaxEntryBuffer) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || found == nullptr) {
        return std::nullopt;
    }
    GroupEntry result;
    result.name = entry.gr_name != nullptr ? entry.gr_name : "";
    for (char* const* member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
        result.members.emplace_back(*member);
    }
    return result;
}

// A person whose primary group is gid.
std::optional<std::string> personWithPrimaryGroup(gid_t gid, uid_t firstPerson)
{
    const std::lock_guard<std::mutex> lock(g_walkMutex);
    std::vector<char> buffer(16384);
    std::optional<std::string> person;
    ::setpwent();
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = ::getpwent_r(&entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < kMaxEntryBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || found == nullptr) {
            break;
        }
        if (entry.pw_gid == gid && isPerson(entry.pw_uid, firstPerson)) {
            person = entry.pw_name;
            break;
        }
    }
    ::endpwent();
    return person;
}

} // namespace

std::string accountName(uid_t uid)
{
    Token token;
    if (!lookupUser(uid, token) || token.name.empty()) {
        return "uid " + std::to_string(uid);
    }
    return token.name;
}

std::string groupName(gid_t gid)
{
    const std::optional<GroupEntry> entry = groupEntry(gid);
    if (!entry || entry->name.empty()) {
        return "gid " + std::to_string(gid);
    }
    return entry->name;
}

std::optional<std::string> personInGroup(gid_t gid)
{
    const uid_t firstPerson = firstPersonUid();
    const std::optional<GroupEntry> entry = groupEntry(gid);
    for (const std::string& member : entry ? entry->members : std::vector<std::string>()) {
        const std::optional<uid_t> uid = uidOf(member);
        if (!uid || isPerson(*uid, firstPerson)) {
            return member;
        }
    }
    return personWithPrimaryGroup(gid, firstPerson);
}

uid_t firstPersonUid()
{
    std::ifstream defs("/etc/login.defs");
    std::string line;
    while (std::getline(defs, line)) {
        std::istringstream fields(line);
        std::string key;
        std::string value;
        if (!(fields >> key >> value) || key != "UID_MIN") {
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long uid = std::strtoul(value.c_str(), &end, 0);
        if (errno == 0 && end != value.c_str() && *end == '\0' && uid <= static_cast<uid_t>(-1)) {
            return static_cast<uid_t>(uid);
        }
    }
    return kDefaultFirstPersonUid;
}

} // namespace ktPlatform
