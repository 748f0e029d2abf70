#pragma once
// Equality of a whole values struct, from one list of its members.

#include <tuple>

// KT_COMPARE_WHOLE(Type, member...); at namespace scope, beside the struct. Defines
// tieMembers(const Type&), every member in a tuple of references, and operator== over it.
// The list is a structured binding, which must name every member of Type: a member added to
// the struct and not to its list fails to build. The static_assert only takes the semicolon.
#define KT_COMPARE_WHOLE(Type, ...)                                                                \
    inline auto tieMembers(const Type& v)                                                          \
    {                                                                                              \
        const auto& [__VA_ARGS__] = v;                                                             \
        return std::tie(__VA_ARGS__);                                                              \
    }                                                                                              \
    inline bool operator==(const Type& a, const Type& b)                                           \
    {                                                                                              \
        return tieMembers(a) == tieMembers(b);                                                     \
    }                                                                                              \
    static_assert(true, "")
