#pragma once
// Known folders of the client and their single spelling. Nobody else spells them.
//
// Map (Windows facility -> Linux):
//   %PUBLIC%       -> $PUBLIC, else /var/log
//   %ProgramData%  -> $ProgramData, else /var/lib
//   %APPDATA%      -> $APPDATA, else $XDG_CONFIG_HOME, else $HOME/.config
// A variable that is set but empty counts as unavailable, as GetEnvironmentVariable
// reports an empty value as a failure.

#include <optional>
#include <string>

namespace ktPlatform {

// Stands for GetEnvironmentVariableA: the value, or nullopt when unset.
std::optional<std::string> getEnv(const std::string& name);

// Stands for the known-folder lookups: the root folder, or nullopt when unavailable.
std::optional<std::string> publicRoot();
std::optional<std::string> programDataRoot();
std::optional<std::string> appDataRoot();

// <PUBLIC>/Kestrani: the public (and log) folder, without a trailing separator.
std::optional<std::string> publicFolder();
// <ProgramData>/kestrani: the client's machine folder. The collection never walks it, so
// the registry file and the data-protection keys live here.
std::optional<std::string> machineFolder();
// <ProgramData>/kestrani/merivon: the configuration (and program-data) folder.
std::optional<std::string> configFolder();
// <APPDATA>/Kestrani/Merivon: the per-user folder.
std::optional<std::string> userFolder();
// The per-user folder with its root as the name %APPDATA%, to be expanded for a session's
// user (expandEnvironmentStringsForUser, ktPlatform/tokens.h).
std::string userFolderUnexpanded();

// The folder for lock files private to the account the calling thread acts as (the
// impersonated user's while impersonating): <ProgramData>/kestrani/locks for LOCAL SYSTEM,
// <home>/.local/share/kestrani/locks for another account. Neither is walked by the
// collection. Made with mode 0700 when missing; nullopt with errno set when it cannot be
// made, is a link, or another account owns it or may write to it.
std::optional<std::string> privateLockFolder();

} // namespace ktPlatform
