#pragma once
// One-call decryption of a short secret with AES-256-CBC.

#include <cstddef>
#include <string>

// Longest cipher text accepted; its plaintext has at most 1023 bytes.
constexpr std::size_t kMaxCipherText = 1024;

// Decrypts cipherText with key (1 to 32 bytes) and iv (1 to 16 bytes), each padded in
// place on the right with "0" characters to 32 and 16 bytes, so the caller's strings
// change. On success plainText holds exactly the plaintext; on failure it is untouched.
// Cipher texts over kMaxCipherText bytes are refused.
bool ktDecrypt(std::string& key, std::string& iv, const std::string& cipherText,
               std::string& plainText);
