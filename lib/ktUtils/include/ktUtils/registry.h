#pragma once
// Registry readers with an explicit view: the process may run as 32-bit on 64-bit Windows,
// so every read states which view it wants. Results are Win32 codes (0 = success).

#include "ktPlatform/registry.h"

#include <cstdint>
#include <string>

// Reads one value under root\subkey. view 1 is the 64-bit view, any other value the 32-bit
// one. data, size and type are as RegGetValueA takes them: *size is the room on entry and
// the bytes of the value on return (234 when the room is too small); type may be null.
// 87 when both subkey and valueName are null or empty; 2 for a missing key or value.
long readRegValue(ktPlatform::RegRoot root, const char* subkey, int view, const char* valueName,
                  void* data, std::uint32_t* size, std::uint32_t* type);

// Maps a root-key name ("HKEY_LOCAL_MACHINE", ...; exact) to the key; false, logged, for
// any other name.
bool getRootKey(const std::string& name, ktPlatform::RegRoot& key);

// Maps a value-type name ("REG_SZ", ...; exact) to its Windows type code; false, logged,
// for any other name. Both "REG_BINARY" and "REF_BINARY" give 3.
bool getRegValueType(const std::string& name, std::uint32_t& type);

// The machine GUID ("MachineGuid" under SOFTWARE\Microsoft\Cryptography, 32-bit view and
// then 64-bit view) as text; false, logged, when it is missing or not a string.
bool readMachineGuid(std::string& guid);
