// Wiping secrets (passwords once used) so that no copy stays in freed memory.
#pragma once

#include <string.h>

#include <cstddef>
#include <string>

// Zeroes memory in a way the compiler may not drop.
inline void SecureZeroMemory(void* data, std::size_t length) {
  if (length) ::explicit_bzero(data, length);
}

// Zeroes a secret's bytes and empties it.
inline void SecureWipe(std::string& secret) {
  SecureZeroMemory(secret.data(), secret.size());
  secret.clear();
}
