// Bounds-checked reader of the fixed file version in a Windows PE image's version resource.
#pragma once

#include "platform/win_types.h"

#include <cstddef>

// The file version words of VS_FIXEDFILEINFO: ms = major << 16 | minor, ls = third << 16 | fourth.
struct PeFileVersion {
  u32 ms = 0;
  u32 ls = 0;
};

// Random access to the bytes of an image. Read fills exactly count bytes at offset or fails.
class PeByteSource {
 public:
  virtual ~PeByteSource() = default;
  virtual u64 Size() const = 0;
  virtual bool Read(u64 offset, void* buffer, std::size_t count) const = 0;
};

// Finds the version resource of a PE32 or PE32+ image (type 16, its first name, that name's first
// language) and reads the fixed file version from the first 256 bytes of it, which must carry the
// key "VS_VERSION_INFO" and the signature 0xFEEF04BD. Every offset is checked against the image;
// false for anything that is not such an image (ELF files, text, truncated or corrupt files).
bool PeReadFileVersion(const PeByteSource& source, PeFileVersion* out);

// The same over bytes in memory.
bool PeReadFileVersion(const void* data, std::size_t size, PeFileVersion* out);

// The same over a regular file (other kinds of file have no version). Sets the last error.
bool PeReadFileVersionFile(const char* path, PeFileVersion* out);
