// Bounds-checked reader of the fixed file version in a Windows PE image's version resource.
#include "jobs/tags/pe_version.h"

#include "lib/system/sys_ospath.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr u32 kResourceTypeVersion = 16;
constexpr u32 kHighBit = 0x80000000u;
constexpr u32 kFixedInfoSignature = 0xFEEF04BDu;
// The part of the version block that is looked at, as GetFileVersionInfo with 256 bytes did.
constexpr std::size_t kVersionBlockBytes = 256;
// wLength, wValueLength, wType, "VS_VERSION_INFO" with its NUL in UTF-16, aligned to 4.
constexpr std::size_t kFixedInfoOffset = 40;
constexpr std::size_t kFixedInfoNeeded = kFixedInfoOffset + 16;

u16 Le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
u32 Le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }

class MemorySource final : public PeByteSource {
 public:
  MemorySource(const void* data, std::size_t size) : data_(static_cast<const u8*>(data)), size_(size) {}
  u64 Size() const override { return size_; }
  bool Read(u64 offset, void* buffer, std::size_t count) const override {
    if (offset > size_ || count > size_ - offset) return false;
    if (count) std::memcpy(buffer, data_ + offset, count);
    return true;
  }

 private:
  const u8* data_;
  std::size_t size_;
};

class FileSource final : public PeByteSource {
 public:
  FileSource(int fd, u64 size) : fd_(fd), size_(size) {}
  u64 Size() const override { return size_; }
  bool Read(u64 offset, void* buffer, std::size_t count) const override {
    if (offset > size_ || count > size_ - offset) return false;
    auto* out = static_cast<u8*>(buffer);
    while (count) {
      const ssize_t got = ::pread(fd_, out, count, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;  // error, or the file shrank under us
      out += got;
      offset += static_cast<u64>(got);
      count -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  u64 size_;
};

struct Section {
  u32 virtualAddress;
  u32 rawSize;
  u32 rawOffset;
};

class PeImage {
 public:
  explicit PeImage(const PeByteSource& src) : src_(src) {}

  bool Open(u32* resourceRva) {
    u8 dos[64];
    if (!src_.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    const u64 nt = Le32(dos + 0x3C);
    u8 head[24];  // "PE\0\0" and the COFF header
    if (!src_.Read(nt, head, sizeof head) || std::memcmp(head, "PE\0\0", 4) != 0) return false;
    const u32 sectionCount = Le16(head + 4 + 2);
    const u32 optionalSize = Le16(head + 4 + 16);

    const u64 optional = nt + sizeof head;
    u8 magic[2];
    if (!src_.Read(optional, magic, sizeof magic)) return false;
    u32 countAt, dirsAt;
    switch (Le16(magic)) {
      case 0x10B: countAt = 92, dirsAt = 96; break;    // PE32
      case 0x20B: countAt = 108, dirsAt = 112; break;  // PE32+
      default: return false;
    }
    // Data directory 2 (resources) must lie inside the optional header and be counted.
    const u32 resourceDirAt = dirsAt + 2 * 8;
    if (u64{resourceDirAt} + 8 > optionalSize) return false;
    u8 word[8];
    if (!src_.Read(optional + countAt, word, 4) || Le32(word) < 3) return false;
    if (!src_.Read(optional + resourceDirAt, word, 8)) return false;
    *resourceRva = Le32(word);
    if (*resourceRva == 0) return false;

    const u64 table = optional + optionalSize;
    const u64 tableBytes = u64{sectionCount} * 40;
    if (sectionCount == 0 || table > src_.Size() || tableBytes > src_.Size() - table) return false;
    std::vector<u8> raw(static_cast<std::size_t>(tableBytes));
    if (!src_.Read(table, raw.data(), raw.size())) return false;
    sections_.reserve(sectionCount);
    for (u32 i = 0; i < sectionCount; ++i) {
      const u8* s = raw.data() + i * 40;
      sections_.push_back(Section{Le32(s + 12), Le32(s + 16), Le32(s + 20)});
    }
    return true;
  }

  // Reads count bytes at a relative virtual address; they must lie in one section's file data.
  bool ReadRva(u64 rva, void* buffer, std::size_t count) const {
    for (const Section& s : sections_) {
      if (rva < s.virtualAddress) continue;
      const u64 inside = rva - s.virtualAddress;
      if (inside >= s.rawSize || count > s.rawSize - inside) continue;
      return src_.Read(u64{s.rawOffset} + inside, buffer, count);
    }
    return false;
  }

  // One entry of the resource directory at dirRva: the first with the given id, or the first
  // of all when id is negative. Returns the entry's target word (high bit: a subdirectory).
  bool FindEntry(u64 dirRva, long id, u32* target) const {
    u8 head[16];
    if (!ReadRva(dirRva, head, sizeof head)) return false;
    const std::size_t total = std::size_t{Le16(head + 12)} + Le16(head + 14);
    std::vector<u8> entries(total * 8);
    if (!ReadRva(dirRva + 16, entries.data(), entries.size())) return false;
    for (std::size_t i = 0; i < total; ++i) {
      const u8* entry = entries.data() + i * 8;
      const u32 name = Le32(entry);
      if (id >= 0 && ((name & kHighBit) || name != static_cast<u32>(id))) continue;
      *target = Le32(entry + 4);
      return true;
    }
    return false;
  }

 private:
  const PeByteSource& src_;
  std::vector<Section> sections_;
};

}  // namespace

bool PeReadFileVersion(const PeByteSource& source, PeFileVersion* out) {
  PeImage image(source);
  u32 root = 0;
  if (!out || !image.Open(&root)) return false;

  // type 16 -> its first name -> that name's first language -> the data entry.
  u32 target = 0;
  if (!image.FindEntry(root, kResourceTypeVersion, &target) || !(target & kHighBit)) return false;
  if (!image.FindEntry(u64{root} + (target & ~kHighBit), -1, &target) || !(target & kHighBit))
    return false;
  if (!image.FindEntry(u64{root} + (target & ~kHighBit), -1, &target) || (target & kHighBit))
    return false;
  u8 dataEntry[16];
  if (!image.ReadRva(u64{root} + target, dataEntry, sizeof dataEntry)) return false;
  const u32 dataRva = Le32(dataEntry);
  const std::size_t dataSize = Le32(dataEntry + 4);

  const std::size_t n = dataSize < kVersionBlockBytes ? dataSize : kVersionBlockBytes;
  if (n < kFixedInfoNeeded) return false;
  u8 block[kVersionBlockBytes];
  if (!image.ReadRva(dataRva, block, n)) return false;

  static const char kKey[] = "VS_VERSION_INFO";  // 15 characters and the NUL
  for (std::size_t i = 0; i < sizeof kKey; ++i)
    if (Le16(block + 6 + 2 * i) != static_cast<u8>(kKey[i])) return false;
  if (Le32(block + kFixedInfoOffset) != kFixedInfoSignature) return false;
  out->ms = Le32(block + kFixedInfoOffset + 8);
  out->ls = Le32(block + kFixedInfoOffset + 12);
  return true;
}

bool PeReadFileVersion(const void* data, std::size_t size, PeFileVersion* out) {
  if (!data) return false;
  return PeReadFileVersion(MemorySource(data, size), out);
}

bool PeReadFileVersionFile(const char* path, PeFileVersion* out) {
  if (!path || !*path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const SysOsPath osPath(path);  // "\" separators; drive and UNC forms are refused
  if (!osPath.ok()) return false;
  const int fd = ::open(osPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    SetLastErrorFromErrno(osPath.c_str());
    return false;
  }
  struct stat st{};
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    SetLastErrorFromErrno(osPath.c_str());
  } else if (!S_ISREG(st.st_mode)) {
    SetLastError(S_ISDIR(st.st_mode) ? ERROR_DIRECTORY : ERROR_INVALID_PARAMETER);
  } else {
    ok = PeReadFileVersion(FileSource(fd, static_cast<u64>(st.st_size)), out);
    if (!ok) SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  ::close(fd);
  return ok;
}
