// Partition scan: whole volumes, GPT, MBR with the extended chain; Partitions.txt.
#include "FileSystem/Media/partitions.h"

#include "FileSystem/Media/raw_devices.h"
#include "lib/system/sys_fdio.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

u16 Le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
u32 Le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
u64 Le64(const u8* p) { return u64{Le32(p)} | u64{Le32(p + 4)} << 32; }

bool HasBootSignature(const u8* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

bool AcceptedMbrType(u8 type) {
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E:
    case 0x11: case 0x14: case 0x16: case 0x1B: case 0x1C: case 0x1E: case 0x83: return true;
    default: return false;
  }
}

bool ExtendedMbrType(u8 type) { return type == 0x05 || type == 0x0F; }

// Compared by the first word of the type GUID: basic data, Linux data, Linux root and server data.
bool AcceptedGptType(u32 word) {
  switch (word) {
    case 0xEBD0A0A2: case 0x0FC63DAF: case 0x44479540: case 0x4F68BCE3: case 0xB921B045: case 0x3B8F8425:
      return true;
    default: return false;
  }
}

// The description whose SHOW names this table position, or -1.
int DescriptionAt(const DiskPartitionRecord& record, u64 position) {
  for (int k = 0; k < 4; ++k)
    if (record.show[k] == position && record.start[k] && record.size[k]) return k;
  return -1;
}

int ScanGpt(const DiskSectorsReader& read, u64 total, const u8* mbr, u32 selector, const DiskPartitionRecord& record,
            const DiskPartitionAdd& add) {
  const u64 headerSector = Le32(mbr + 446 + 8);
  u8 header[512];
  if (headerSector >= total || !read(headerSector, 1, header)) return 0;
  if (std::memcmp(header, "EFI PART", 8) != 0) return 0;
  const u64 arrayStart = Le64(header + 72);
  const u32 entryCount = Le32(header + 80);
  const u32 entrySize = Le32(header + 84);
  // Entries never straddle a sector: 128, 256 or 512 bytes.
  if (entrySize < 128 || entrySize > 512 || 512 % entrySize != 0) return 0;
  if (arrayStart == 0 || arrayStart >= total) return 0;
  const u32 perSector = 512 / entrySize;
  const u64 fits = std::min<u64>(total - arrayStart, DISK_MAX_GPT_ENTRIES) * perSector;
  const u64 count = std::min<u64>({entryCount, fits, DISK_MAX_GPT_ENTRIES});

  int registered = 0;
  u8 sector[512];
  for (u64 i = 0; i < count; ++i) {
    const u64 arraySector = arrayStart + i / perSector;
    const u32 offset = static_cast<u32>(i % perSector) * entrySize;
    if (offset == 0 && !read(arraySector, 1, sector)) break;
    const u8* entry = sector + offset;
    u64 first = Le64(entry + 32);
    u64 last = Le64(entry + 40);
    u32 type = Le32(entry);
    bool described = false;
    if (first == 0) {
      const int k = DescriptionAt(record, arraySector * 512 + offset);
      if (k >= 0 && record.size[k] - 1 <= ~u64{0} - record.start[k]) {
        first = record.start[k];
        last = record.start[k] + record.size[k] - 1;
        type = 0xEBD0A0A2;
        described = true;
      }
    }
    if (first == 0 || last == 0 || last <= first || first >= total || last >= total) continue;
    if (!AcceptedGptType(type)) continue;
    if (selector != DISK_ALL_PARTITIONS && selector != i) continue;
    if (add(first, last - first + 1, described && i < 4)) ++registered;
  }
  return registered;
}

struct TableSector {
  u64 sector;       // where the table is by the rule: links relative to the extended partition
  u64 base;         // start of the primary extended partition
  u64 alternative;  // where a tool that links relative to the current table would have put it
};

// The primary table and the extended chain. Each link is relative to the start of the primary
// extended partition; each logical partition to its own table sector.
int ScanMbr(const DiskSectorsReader& read, u64 total, const u8* mbr, u32 selector, const DiskPartitionRecord& record,
            const DiskPartitionAdd& add) {
  const u64 endLimit = std::min<u64>(total, 0xFFFFFFFF);
  std::vector<TableSector> queue{{0, 0, 0}};
  int registered = 0;
  u8 buffer[512];
  for (std::size_t t = 0; t < queue.size(); ++t) {
    const u8* sector = mbr;
    u64 at = queue[t].sector;
    if (t > 0) {
      // 1 a table, 0 no signature, -1 unreadable.
      auto readTable = [&](u64 s) {
        if (s >= total || !read(s, 1, buffer)) return -1;
        return HasBootSignature(buffer) ? 1 : 0;
      };
      int state = readTable(at);
      if (state != 1 && queue[t].alternative != at) {
        const int alt = readTable(queue[t].alternative);
        if (alt == 1) at = queue[t].alternative;
        state = alt == 1 ? 1 : std::max(state, alt);
      }
      // An unreadable table ends the chain; one without a signature is passed over.
      if (state < 0) break;
      if (state == 0) continue;
      sector = buffer;
    }
    const u64 ordinalBase = 4 * u64{t};
    for (int i = 0; i < 4; ++i) {
      const u8* entry = sector + 446 + 16 * i;
      u8 type = entry[4];
      u64 start = Le32(entry + 8);
      u64 count = Le32(entry + 12);
      bool described = false;
      if (t == 0 && count == 0) {
        const int k = DescriptionAt(record, 446 + 16 * i);
        if (k >= 0) {
          start = record.start[k];
          count = record.size[k];
          type = 0x0E;
          described = true;
        }
      }
      if (count == 0 || count == 0xFFFFFFFF || start == 0) continue;
      const u64 ordinal = ordinalBase + static_cast<u64>(i);
      if (ExtendedMbrType(type)) {
        if (queue.size() >= DISK_MAX_TABLE_SECTORS) continue;
        const u64 base = t == 0 ? start : queue[t].base;
        const u64 target = t == 0 ? start : base + start;
        const bool queued = std::any_of(queue.begin(), queue.end(),
                                        [&](const TableSector& q) { return q.sector == target; });
        if (!queued) queue.push_back({target, base, at + start});
        continue;
      }
      if (!AcceptedMbrType(type)) continue;
      if (start <= ~u64{0} - at && at + start < endLimit) {
        const u64 absolute = at + start;
        const u64 length = std::min(count, endLimit - absolute);
        if (selector == DISK_ALL_PARTITIONS || selector == ordinal)
          if (add(absolute, length, described && ordinal < 4)) ++registered;
      }
      if (selector == ordinal) return registered;
    }
  }
  return registered;
}

}  // namespace

u8 DiskSniffFileSystem(const u8* s) {
  if (HasBootSignature(s)) {
    if (std::memcmp(s + 3, "EXFAT", 5) == 0) return DISK_TYPE_EXFAT;
    if (std::memcmp(s + 54, "FAT", 3) == 0 || std::memcmp(s + 82, "FAT", 3) == 0) return DISK_TYPE_FAT;
  }
  if (Le32(s + 1024) != 0 && Le16(s + 1080) == 0xEF53) return DISK_TYPE_EXT4;
  return DISK_TYPE_NO_FS;
}

int DiskFindPartitions(const DiskSectorsReader& read, u64 total, u32 partitionSelector,
                       const DiskPartitionRecord& record, const DiskPartitionAdd& add) {
  u8 head[2048] = {};
  if (total == 0 || !read(0, static_cast<u32>(std::min<u64>(total, 4)), head)) {
    SetLastError(ERROR_READ_FAULT);
    return 0;
  }
  if (partitionSelector == 0 || partitionSelector == DISK_ALL_PARTITIONS) {
    if (DiskSniffFileSystem(head) != DISK_TYPE_NO_FS && add(0, total, false)) return 1;
  }
  if (!HasBootSignature(head)) {
    SetLastError(ERROR_INVALID_DRIVE);
    return 0;
  }
  if (head[446 + 4] == 0xEE) {
    const int found = ScanGpt(read, total, head, partitionSelector, record, add);
    if (found > 0) return found;
  }
  const int found = ScanMbr(read, total, head, partitionSelector, record, add);
  if (found == 0) SetLastError(ERROR_INVALID_DRIVE);
  return found;
}

namespace {

// The sections of Partitions.txt.
constexpr int kNoSection = -1;
constexpr int kDrivesSection = 100;

u64 ParseNumber(const char* p) {
  u64 value = 0;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    for (p += 2;; ++p) {
      int digit;
      if (*p >= '0' && *p <= '9') digit = *p - '0';
      else if (*p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
      else if (*p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
      else break;
      value = value << 4 | static_cast<u64>(digit);
    }
    return value;
  }
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<u64>(*p - '0');
  return value;
}

const char* SkipBlanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

void ParseLine(const char* line, int& section, DiskPartitionRecord& record) {
  const char* p = SkipBlanks(line);
  if (*p == '[') {
    if (std::strncmp(p, "[DRIVES]", 8) == 0) section = kDrivesSection;
    else if (std::strncmp(p, "[PARTITION", 10) == 0 && p[10] >= '0' && p[10] <= '?' && p[11] == ']')
      section = p[10] - '0';
    return;
  }
  if (std::strlen(p) < 4) return;
  const char* q = SkipBlanks(p + 4);
  if (*q != '=') return;
  // Blanks after "=" are passed over too: "SECT = 2048" means 2048, not 0.
  const u64 value = ParseNumber(SkipBlanks(q + 1));
  if (section == kDrivesSection) {
    record.drives = value;
  } else if (section >= 0 && section < 4) {
    if (std::strncmp(p, "SECT", 4) == 0) record.start[section] = value;
    else if (std::strncmp(p, "SIZE", 4) == 0) record.size[section] = value;
    else if (std::strncmp(p, "SHOW", 4) == 0) record.show[section] = static_cast<u32>(value);
  }
}

}  // namespace

namespace {

void ParseFile(std::FILE* file, DiskPartitionRecord& record) {
  char line[347];
  int section = kNoSection;
  while (std::fgets(line, sizeof line, file)) {
    const std::size_t length = std::strlen(line);
    // The rest of an over-long line is no line of its own.
    if (length == sizeof line - 1 && line[length - 1] != '\n') {
      int ch;
      while ((ch = std::fgetc(file)) != EOF && ch != '\n') {
      }
    }
    ParseLine(line, section, record);
  }
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

constexpr const char* kFileName = "Partitions.txt";

// Opens the file in the folder, by its exact name or else in any case (as Windows finds it); the
// name found in name.
File OpenInFolder(int dirFd, std::string& name) {
  name = kFileName;
  int fd = SysOpenRegularAt(dirFd, kFileName, false);
  if (fd < 0 && errno == ENOENT) {
    for (const std::string& entry : DrvFolderEntries("/proc/self/fd/" + std::to_string(dirFd))) {
      if (::strcasecmp(entry.c_str(), kFileName) != 0) continue;
      name = entry;
      fd = SysOpenRegularAt(dirFd, entry.c_str(), false);
      break;
    }
  }
  if (fd < 0) return File(nullptr, std::fclose);
  File file(::fdopen(fd, "rb"), std::fclose);
  if (!file) ::close(fd);
  return file;
}

}  // namespace

int DiskReadPartitionsFile(const char* path, DiskPartitionRecord& record) {
  record = DiskPartitionRecord{};
  if (!path || !*path) return -1;
  File file(std::fopen(path, "rbe"), std::fclose);
  if (!file) return -2;
  ParseFile(file.get(), record);
  return 0;
}

int DiskReadPartitionsFileAt(int dirFd, DiskPartitionRecord& record) {
  record = DiskPartitionRecord{};
  std::string name;
  File file = OpenInFolder(dirFd, name);
  if (!file) return -2;
  ParseFile(file.get(), record);
  return 0;
}

int DiskReadMountedPartitionsFile(u64 disk, DiskPartitionRecord& record, std::string* where) {
  record = DiskPartitionRecord{};
  bool mounted = false;
  for (const DrvBlockDevice& partition : DrvPartitionsOf(disk)) {
    std::string mountPoint;
    const SysFd dir = DrvOpenMountRoot(partition.device, nullptr, &mountPoint);
    if (!dir) continue;
    mounted = true;
    std::string name;
    File file = OpenInFolder(dir.Get(), name);
    if (!file) continue;
    ParseFile(file.get(), record);
    if (where) *where = mountPoint + (mountPoint.ends_with('/') ? "" : "/") + name;
    return 0;
  }
  return mounted ? -2 : -1;
}

namespace {

bool ExtendedType(u8 type) { return type == 0x05 || type == 0x0F || type == 0x85; }

void MbrEntryInfo(const u8* e, u32 number, u64 start, DiskTableEntry* entry) {
  entry->found = true;
  entry->number = number;
  entry->start = start;
  entry->count = Le32(e + 12);
  entry->mbrType = e[4];
  entry->boot = e[0] == 0x80;
}

// The primary entries are partitions 1-4, the logical ones 5 on in the order of their chain; a
// logical partition starts relative to its own table, a link relative to the first extended one.
void FindInMbr(const std::function<bool(u64, u8*)>& read, const u8* mbr, u64 start, DiskTableEntry* entry) {
  u64 chain = 0;
  for (int i = 0; i < 4; ++i) {
    const u8* e = mbr + 446 + 16 * i;
    if (!e[4] || !Le32(e + 12)) continue;
    // The system lists an extended partition too (as its first sectors).
    if (Le32(e + 8) == start) return MbrEntryInfo(e, static_cast<u32>(i + 1), start, entry);
    if (ExtendedType(e[4]) && !chain) chain = Le32(e + 8);
  }
  u32 number = 5;
  u64 table = chain;
  u8 sector[512];
  for (int t = 0; t < DISK_MAX_TABLE_SECTORS && table; ++t) {
    if (!read(table, sector) || !HasBootSignature(sector)) return;
    u64 next = 0;
    for (int i = 0; i < 4; ++i) {
      const u8* e = sector + 446 + 16 * i;
      if (!e[4] || !Le32(e + 12)) continue;
      if (ExtendedType(e[4])) {
        if (!next) next = chain + Le32(e + 8);
        continue;
      }
      if (table + Le32(e + 8) == start) return MbrEntryInfo(e, number, start, entry);
      ++number;
    }
    if (next == table) return;
    table = next;
  }
}

void FindInGpt(const std::function<bool(u64, u8*)>& read, const u8* header, u64 total, u64 start,
               DiskTableEntry* entry) {
  const u64 arrayStart = Le64(header + 72);
  const u32 count = std::min(Le32(header + 80), DISK_MAX_GPT_ENTRIES);
  const u32 size = Le32(header + 84);
  if (!start || size < 128 || size > 512 || 512 % size != 0 || arrayStart < 2 || arrayStart >= total) return;
  u8 sector[512];
  for (u32 i = 0; i < count; ++i) {
    const u32 offset = (i % (512 / size)) * size;
    if (offset == 0 && !read(arrayStart + i / (512 / size), sector)) return;
    const u8* e = sector + offset;
    if (Le64(e + 32) != start || std::all_of(e, e + 16, [](u8 b) { return b == 0; })) continue;
    entry->found = true;
    entry->number = i + 1;
    entry->start = start;
    entry->count = Le64(e + 40) >= start ? Le64(e + 40) - start + 1 : 0;
    std::memcpy(entry->typeGuid.data(), e, 16);
    std::memcpy(entry->uniqueGuid.data(), e + 16, 16);
    entry->attributes = Le64(e + 48);
    entry->name = DiskUtf16Text(e + 56, 36);
    return;
  }
}

}  // namespace

bool DiskFindTableEntry(const std::function<bool(u64 sector, u8* out)>& read, u64 total, u64 start,
                        DiskTableEntry* entry) {
  *entry = DiskTableEntry{};
  u8 head[2048] = {};
  for (u64 s = 0; s < 4 && s < total; ++s)
    if (!read(s, head + 512 * s)) {
      if (s == 0) return false;
      break;
    }
  if (!HasBootSignature(head) || DiskSniffFileSystem(head) != DISK_TYPE_NO_FS) return true;
  if (head[446 + 4] == 0xEE) {
    u8 header[512];
    const u64 at = Le32(head + 446 + 8);
    if (at < total && read(at, header) && std::memcmp(header, "EFI PART", 8) == 0) {
      entry->style = DISK_STYLE_GPT;
      std::memcpy(entry->diskGuid.data(), header + 56, 16);
      FindInGpt(read, header, total, start, entry);
      return true;
    }
  }
  entry->style = DISK_STYLE_MBR;
  entry->diskSignature = Le32(head + 440);
  if (start) FindInMbr(read, head, start, entry);
  return true;
}

std::string DiskGuidText(const std::array<u8, 16>& g) {
  return FmtString("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Le32(g.data()), Le16(g.data() + 4),
                   Le16(g.data() + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
}

std::string DiskUtf16Text(const u8* le, int units) {
  std::string text;
  for (int k = 0; k < units; ++k) {
    u32 c = Le16(le + 2 * k);
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && k + 1 < units) {
      const u32 low = Le16(le + 2 * k + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++k;
      }
    }
    char utf8[4];
    text.append(utf8, static_cast<std::size_t>(EncUtf8Encode(utf8, c)));
  }
  return text;
}
