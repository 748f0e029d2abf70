#pragma once
// Who may change a folder through its group: the accounts and groups of the system's
// account database. Internal.

#include <optional>
#include <string>
#include <sys/types.h>

namespace ktPlatform {

// The name of the account uid, else "uid <number>".
std::string accountName(uid_t uid);

// The name of the group gid, else "gid <number>".
std::string groupName(gid_t gid);

// A person in the group gid, by its name: an account that lists it as a supplementary group
// or has it as its primary group, other than root and the account running the tool, whose
// uid is not below the first uid of a person. A listed name that is no account counts as a
// person, as nothing tells what it is. nullopt when the group holds nobody but root, that
// account and system accounts (who run the system's own services).
std::optional<std::string> personInGroup(gid_t gid);

// The first uid given to a person: UID_MIN in /etc/login.defs, 1000 where it does not say.
uid_t firstPersonUid();

} // namespace ktPlatform
