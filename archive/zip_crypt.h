// Decrypting zip entries: the traditional PKWARE cipher and WinZip's AES (AE-1, AE-2) with PBKDF2,
// AES-CTR and HMAC-SHA1, through OpenSSL's libcrypto.
#pragma once

#include "archive/zip_format.h"

#include <memory>
#include <string>
#include <string_view>

// What the AES extra field (0x9901) of an entry says.
struct ZipAesInfo {
  int version = 0;     // 1 (AE-1: the CRC is checked too) or 2 (AE-2: the CRC is 0)
  int strength = 0;    // 1, 2, 3: 128, 192, 256-bit keys
  u16 method = 0;      // the method the data was packed with before it was encrypted
  std::size_t SaltSize() const { return 4 + 4 * static_cast<std::size_t>(strength); }
  std::size_t KeySize() const { return 8 + 8 * static_cast<std::size_t>(strength); }
};

// The AES field of an entry; false when it has none or one that is not understood.
bool ZipAesField(std::string_view extra, ZipAesInfo* info);

// Whether an encrypted entry is one this reader decrypts (traditional or AES), and the method its
// data was packed with.
bool ZipCanDecrypt(const ZipEntryRec& entry);
u16 ZipPackMethod(const ZipEntryRec& entry);

// The decryption of one entry's data, started from the bytes in front of it.
class ZipDecryptor {
 public:
  enum Check { kOk, kWrongPassword, kDamaged };

  virtual ~ZipDecryptor() = default;
  // Bytes in front of the data (header, or salt and verifier) and behind it (the AES code).
  virtual std::size_t HeaderSize() const = 0;
  virtual std::size_t TrailerSize() const = 0;
  // Takes the header and checks the password against it: no byte is decrypted before that.
  virtual Check Start(const u8* header, const std::string& password) = 0;
  // Decrypts in place.
  virtual void Decrypt(u8* data, std::size_t length) = 0;
  // Whether the trailer confirms the data that went through Decrypt (always for the
  // traditional cipher, which has no trailer).
  virtual bool Finish(const u8* trailer) = 0;
  // Whether the entry's CRC is to be checked (not for AE-2, which stores none).
  virtual bool CheckCrc() const = 0;

  // The decryptor for an encrypted entry (null when ZipCanDecrypt says no).
  static std::unique_ptr<ZipDecryptor> For(const ZipEntryRec& entry);
};
