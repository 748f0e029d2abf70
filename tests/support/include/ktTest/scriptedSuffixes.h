#pragma once
// Hands out the suffixes of new hidden names (the archive's new file, what is moved aside)
// in turn, for the life of the object, so a test knows those names. Then none is left: the
// code under test gets an empty suffix, as when no randomness can be had.

#include "ktPlatform/interruptCleanup.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace ktTest {

class ScriptedSuffixes {
public:
    explicit ScriptedSuffixes(std::vector<std::string> suffixes)
    {
        s_suffixes = std::move(suffixes);
        s_next = 0;
        ktPlatform::setNameSuffixSource(next);
    }
    ~ScriptedSuffixes() { ktPlatform::setNameSuffixSource(nullptr); }
    ScriptedSuffixes(const ScriptedSuffixes&) = delete;
    ScriptedSuffixes& operator=(const ScriptedSuffixes&) = delete;
    // How many were handed out.
    static std::size_t taken() { return s_next; }

private:
    static std::string next()
    {
        return s_next < s_suffixes.size() ? s_suffixes[s_next++] : std::string();
    }
    static inline std::vector<std::string> s_suffixes;
    static inline std::size_t s_next = 0;
};

} // namespace ktTest
