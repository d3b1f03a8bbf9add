// libFuzzer target: arbitrary bytes mounted as an ext4 volume read-only (nothing written) and writable (journal replayed), every folder listed and every file read.
#include "FileSystem/drive_table.h"
#include "FileSystem/volume_api.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr int kMaxDepth = 8;
constexpr int kMaxEntries = 3000;
constexpr int kMaxRead = 1 << 16;

void Walk(DiskDriveTable& table, const std::string& folder, int depth, int& seen) {
  if (depth > kMaxDepth) return;
  DiskFindRecord record;
  int err = 0;
  const DiskHandle h = DiskFindFirst(table, (folder + "/*").c_str(), &record, &err);
  if (!h) return;
  std::vector<std::pair<std::string, bool>> entries;
  do {
    if (record.name[0] == '\0') __builtin_trap();  // never an entry without a name
    // Links to folders are not entered: they may lead back up.
    if (entries.size() < 64) entries.emplace_back(record.name, (record.attributes & DISK_ATTR_FOLDER) && !record.link);
  } while (++seen < kMaxEntries && DiskFindNext(table, h, &record) == 0);
  DiskFindClose(table, h);
  static char block[4096];
  for (const auto& [name, isFolder] : entries) {
    const std::string path = folder + "/" + name;
    if (isFolder) {
      Walk(table, path, depth + 1, seen);
      continue;
    }
    DiskPathKind(table, path.c_str());
    const DiskHandle f = DiskFileOpen(table, path.c_str(), DISK_OPEN_READ, &err);
    if (!f) continue;
    for (int total = 0, n; total < kMaxRead && (n = DiskFileRead(table, f, block, sizeof block)) > 0; total += n) {
    }
    DiskFileSeek(table, f, -1, 2);
    DiskFileRead(table, f, block, 1);
    DiskFileClose(table, f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("ext4", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const u32 mode = DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE;
  {
    DiskDriveTable table;
    if (DiskAttach(table, path.c_str(), mode | DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS) > 1) {
      int seen = 0;
      Walk(table, "", 0, seen);
    }
  }
  // Read-only, not a byte changed.
  std::vector<std::uint8_t> now(size);
  if (::pread(fd, now.data(), size, 0) != static_cast<ssize_t>(size) ||
      (size && __builtin_memcmp(now.data(), data, size) != 0))
    __builtin_trap();
  {
    // Writable: a journal is replayed at the attach; writing is still refused.
    DiskDriveTable table;
    if (DiskAttach(table, path.c_str(), mode, nullptr, DISK_ALL_PARTITIONS) > 1) {
      int seen = 0;
      Walk(table, "", 0, seen);
      int err = 0;
      const DiskHandle f = DiskFileOpen(table, "/neu.txt", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
      if (f && table.fsType[1] == DISK_TYPE_EXT4) __builtin_trap();
      if (f) DiskFileClose(table, f);
    }
  }
  ::close(fd);
  return 0;
}
