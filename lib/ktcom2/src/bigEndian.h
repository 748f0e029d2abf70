#pragma once
// The service link's byte order: unit lengths and the frame's length field are 32-bit
// big-endian.

#include <cstdint>

// The value of the four bytes at bytes, most significant first.
inline std::uint32_t readBigEndian32(const char* bytes)
{
    const auto byte = [&](int i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
    };
    return (byte(0) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
}

// Writes value to the four bytes at out, most significant first.
inline void writeBigEndian32(char* out, std::uint32_t value)
{
    out[0] = static_cast<char>((value >> 24) & 0xFF);
    out[1] = static_cast<char>((value >> 16) & 0xFF);
    out[2] = static_cast<char>((value >> 8) & 0xFF);
    out[3] = static_cast<char>(value & 0xFF);
}
