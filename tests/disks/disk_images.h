// Images for the disk tests: made by the partitioning tools, read back by them, or crafted byte by byte.
#pragma once

#include "FileSystem/Volume/drive_table.h"
#include "tests/support/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace kpwtest {

struct PartitionSpan {
  u64 start = 0;
  u64 count = 0;
  bool operator==(const PartitionSpan& o) const { return start == o.start && count == o.count; }
  bool operator<(const PartitionSpan& o) const { return std::tie(start, count) < std::tie(o.start, o.count); }
};

inline std::ostream& operator<<(std::ostream& out, const PartitionSpan& p) {
  return out << "{" << p.start << "+" << p.count << "}";
}

// A sparse image of the given size.
inline void MakeImage(const std::string& path, u64 bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    }
    ::close(fd);
  }
}

// Runs a tool on an image; its output, the test failing when it does.
inline std::string Tool(const std::string& command) {
  int status = 0;
  std::string out = Shell(command + " 2>&1", &status);
  EXPECT_EQ(status, 0) << command << ":\n" << out;
  return out;
}

// The partitions sfdisk reads from an image, with their type (hexadecimal for MBR, the GUID for
// GPT), as "start size type" lines through its JSON output.
inline std::vector<std::pair<PartitionSpan, std::string>> SfdiskPartitions(const std::string& image) {
  const std::string out = Tool(
      "sfdisk --json " + Quote(image) +
      " | python3 -c 'import json,sys\n"
      "for p in json.load(sys.stdin)[\"partitiontable\"][\"partitions\"]: print(p[\"start\"], p[\"size\"], p[\"type\"])'");
  std::vector<std::pair<PartitionSpan, std::string>> parts;
  std::istringstream lines(out);
  PartitionSpan span;
  std::string type;
  while (lines >> span.start >> span.count >> type) parts.emplace_back(span, type);
  return parts;
}

// The partitions (not the table entries of the chain) that sleuthkit's mmls finds.
inline std::vector<PartitionSpan> MmlsPartitions(const std::string& image) {
  std::vector<PartitionSpan> parts;
  std::istringstream lines(Tool("mmls " + Quote(image)));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string index, slot;
    u64 start = 0, end = 0, length = 0;
    if (!(words >> index >> slot >> start >> end >> length)) continue;
    // "000:001" for MBR partitions, "003" for GPT entries; "Meta" and "-------" are no partitions.
    const bool mbr = slot.size() == 7 && slot[3] == ':';
    const bool gpt = slot.size() == 3 && std::all_of(slot.begin(), slot.end(), ::isdigit);
    if (mbr || gpt) parts.push_back({start, length});
  }
  std::sort(parts.begin(), parts.end());
  return parts;
}

// The partitions a table holds, by start.
inline std::vector<PartitionSpan> TablePartitions(const DiskDriveTable& table) {
  std::vector<PartitionSpan> parts;
  for (int d = 0; d < DISK_MAX_DRIVES; ++d)
    if (table.fsType[d] >= DISK_TYPE_NO_FS) parts.push_back({table.startSector[d], table.sectorCount[d]});
  std::sort(parts.begin(), parts.end());
  return parts;
}

// The drive index of the partition starting at a sector, or -1.
inline int DriveAt(const DiskDriveTable& table, u64 start) {
  for (int d = 0; d < DISK_MAX_DRIVES; ++d)
    if (table.fsType[d] >= DISK_TYPE_NO_FS && table.startSector[d] == start) return d;
  return -1;
}

// Byte-level building of crafted tables in an image held in memory.
class CraftedImage {
 public:
  explicit CraftedImage(u64 sectors) : m_bytes(sectors * 512, '\0') {}

  void Signature(u64 sector) {
    m_bytes[sector * 512 + 510] = '\x55';
    m_bytes[sector * 512 + 511] = '\xAA';
  }
  // An MBR or EBR entry (i 0-3) with the signature of its table.
  void MbrEntry(u64 tableSector, int i, u8 type, u32 start, u32 count) {
    const u64 at = tableSector * 512 + 446 + 16 * static_cast<u64>(i);
    m_bytes[at + 4] = static_cast<char>(type);
    Put32(at + 8, start);
    Put32(at + 12, count);
    Signature(tableSector);
  }
  // A GPT header at sector 1 behind a protective MBR.
  void GptHeader(u64 arrayStart, u32 entries, u32 entrySize) {
    MbrEntry(0, 0, 0xEE, 1, static_cast<u32>(std::min<u64>(Sectors() - 1, 0xFFFFFFFF)));
    std::memcpy(&m_bytes[512], "EFI PART", 8);
    Put64(512 + 72, arrayStart);
    Put32(512 + 80, entries);
    Put32(512 + 84, entrySize);
  }
  void GptEntry(u64 arrayStart, u32 entrySize, u32 index, u32 typeWord, u64 first, u64 last) {
    const u64 at = arrayStart * 512 + u64{index} * entrySize;
    Put32(at, typeWord);
    Put64(at + 32, first);
    Put64(at + 40, last);
  }
  void Bytes(u64 offset, const char* text) { std::memcpy(&m_bytes[offset], text, std::strlen(text)); }
  void Put16(u64 at, u16 v) { for (int i = 0; i < 2; ++i) m_bytes[at + i] = static_cast<char>(v >> (8 * i)); }
  void Put32(u64 at, u32 v) { for (int i = 0; i < 4; ++i) m_bytes[at + i] = static_cast<char>(v >> (8 * i)); }
  void Put64(u64 at, u64 v) { for (int i = 0; i < 8; ++i) m_bytes[at + i] = static_cast<char>(v >> (8 * i)); }

  u64 Sectors() const { return m_bytes.size() / 512; }
  std::string& bytes() { return m_bytes; }

 private:
  std::string m_bytes;
};

}  // namespace kpwtest
