// Zip record layouts: signatures, field sizes, little-endian access and the entry record.
#pragma once

#include "platform/win_types.h"

#include <cstring>
#include <string>
#include <string_view>

namespace zipfmt {

inline constexpr u32 kSigLocal = 0x04034b50;
inline constexpr u32 kSigCentral = 0x02014b50;
inline constexpr u32 kSigEnd = 0x06054b50;
inline constexpr u32 kSigEnd64 = 0x06064b50;
inline constexpr u32 kSigLocator64 = 0x07064b50;
inline constexpr u32 kSigDescriptor = 0x08074b50;
inline constexpr u32 kSigDigitalSignature = 0x05054b50;

inline constexpr std::size_t kLocalSize = 30;
inline constexpr std::size_t kCentralSize = 46;
inline constexpr std::size_t kEndSize = 22;
inline constexpr std::size_t kEnd64Size = 56;
inline constexpr std::size_t kLocator64Size = 20;

inline constexpr u16 kMethodStored = 0;
inline constexpr u16 kMethodDeflate = 8;
inline constexpr u16 kMethodDeflate64 = 9;
inline constexpr u16 kMethodBzip2 = 12;
inline constexpr u16 kMethodLzma = 14;
inline constexpr u16 kMethodXz = 95;
inline constexpr u16 kMethodPpmd = 98;
inline constexpr u16 kMethodAes = 99;  // the real method is in the AES extra field

inline constexpr u16 kFlagEncrypted = 0x0001;
inline constexpr u16 kFlagDescriptor = 0x0008;
inline constexpr u16 kFlagStrongEncryption = 0x0040;
inline constexpr u16 kFlagUtf8 = 0x0800;

inline constexpr u16 kExtraZip64 = 0x0001;
inline constexpr u16 kExtraNtfs = 0x000A;
inline constexpr u16 kExtraTime = 0x5455;
inline constexpr u16 kExtraUnicodePath = 0x7075;
inline constexpr u16 kExtraAes = 0x9901;

inline constexpr u8 kHostDos = 0;
inline constexpr u8 kHostUnix = 3;
inline constexpr u8 kHostNtfs = 10;
inline constexpr u8 kHostVfat = 14;

inline constexpr u16 kVersionMadeBy = (u16{kHostUnix} << 8) | 45;
inline constexpr u16 kNeedStored = 10;
inline constexpr u16 kNeedDeflate = 20;
inline constexpr u16 kNeedZip64 = 45;

inline constexpr u32 kMax32 = 0xFFFFFFFFu;
inline constexpr u16 kMax16 = 0xFFFF;

inline u16 Get16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
inline u32 Get32(const u8* p) { return u32{p[0]} | (u32{p[1]} << 8) | (u32{p[2]} << 16) | (u32{p[3]} << 24); }
inline u64 Get64(const u8* p) { return u64{Get32(p)} | (u64{Get32(p + 4)} << 32); }

inline void Put16(std::string& out, u16 v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
inline void Put32(std::string& out, u32 v) {
  Put16(out, static_cast<u16>(v & 0xFFFF));
  Put16(out, static_cast<u16>(v >> 16));
}
inline void Put64(std::string& out, u64 v) {
  Put32(out, static_cast<u32>(v));
  Put32(out, static_cast<u32>(v >> 32));
}
inline void Set32At(std::string& out, std::size_t at, u32 v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Walks the extra fields of a record: calls fn(id, data, size) for each complete field; a
// truncated tail is ignored.
template <typename Fn>
void ForEachExtra(std::string_view extra, Fn fn) {
  const auto* p = reinterpret_cast<const u8*>(extra.data());
  std::size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    const u16 id = Get16(p + pos);
    const u16 size = Get16(p + pos + 2);
    if (pos + 4 + size > extra.size()) break;
    fn(id, p + pos + 4, static_cast<std::size_t>(size));
    pos += 4 + std::size_t{size};
  }
}

// The extra fields without those of the given id.
std::string ExtraWithout(std::string_view extra, u16 id);

}  // namespace zipfmt

// One entry of an archive, as read from its central directory or as being written.
struct ZipEntryRec {
  std::string name;     // decoded to UTF-8, separators as stored
  std::string rawName;  // the bytes of the record
  u16 madeBy = zipfmt::kVersionMadeBy;
  u16 needed = zipfmt::kNeedStored;
  u16 flags = 0;
  u16 method = zipfmt::kMethodStored;
  u16 dosTime = 0;
  u16 dosDate = 0;
  u16 internalAttr = 0;
  u32 externalAttr = 0;
  u32 crc = 0;
  u64 compSize = 0;
  u64 size = 0;
  u64 localOffset = 0;   // in the file the data lives in (old archive or the new one)
  std::string extra;     // central extra fields (ZIP64 removed for entries being written)
  std::string comment;
  i64 mtime = 0;         // seconds since 1970 UTC
  bool exactTime = false;  // mtime from an extra field rather than the DOS stamp
  bool folder = false;
  bool fromOld = false;  // the data lies in the archive that was opened
  bool dropped = false;  // replaced by a newer entry of the same name
  bool localZip64 = false;  // the local header carries a ZIP64 field

  u8 Host() const { return static_cast<u8>(madeBy >> 8); }
  // Unix mode bits from the external attributes (0 when the host keeps none).
  u32 UnixMode() const { return Host() == zipfmt::kHostUnix ? externalAttr >> 16 : 0; }
};

// DOS date and time (local time) for seconds since 1970, clamped to 1980-2107.
void ZipDosTimeFromUnix(i64 seconds, u16* dosTime, u16* dosDate);
// Seconds since 1970 for a DOS stamp read as local time.
i64 ZipUnixFromDosTime(u16 dosTime, u16 dosDate);
// The modification time held in the extra fields (extended timestamp, else NTFS); false when
// neither has one.
bool ZipExtraMtime(std::string_view extra, i64* seconds);
// The time extra fields for a new entry: the extended timestamp, or NTFS where the time does not
// fit 32 bits.
std::string ZipTimeExtra(i64 mtime);

// Entry names: the name for the bytes of a record: as they are with bit 11 (when they are UTF-8),
// else the Unicode path field, else as they are from Unix hosts (file names there are bytes, not
// always UTF-8), else code page 437 converted to UTF-8.
std::string ZipDecodeName(std::string_view raw, u16 flags, u8 host, std::string_view extra);
// Whether the bytes are valid UTF-8; only such names get bit 11.
bool ZipIsUtf8(std::string_view text);
// A name to unpack under a folder: "\" read as "/", "." and empty components dropped. Returns 1
// with the relative path in out, 0 for an empty result (nothing to unpack), -1 for a name that
// is absolute, has a drive letter, a ".." component or a NUL.
int ZipSafeRelativeName(std::string_view name, std::string& out);
