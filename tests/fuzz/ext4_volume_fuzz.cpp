// libFuzzer target: arbitrary bytes mounted as an ext4 volume read-only (nothing written) and writable (journal replayed), every folder listed and every file read.
#include "tests/fuzz/volume_walk.h"

#include <vector>

using fuzzwalk::Walk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = fuzzwalk::ImageOf("ext4", data, size);
  if (fd < 0) return 0;
  const std::string path = fuzzwalk::PathOf(fd);
  const u32 mode = fuzzwalk::kAttach;
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
    // Writable: a journal is replayed at the attach, and a file may be made (ext4_write_fuzz writes more).
    DiskDriveTable table;
    if (DiskAttach(table, path.c_str(), mode, nullptr, DISK_ALL_PARTITIONS) > 1) {
      int seen = 0;
      Walk(table, "", 0, seen);
      int err = 0;
      const DiskHandle f = DiskFileOpen(table, "/neu.txt", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
      if (f) DiskFileClose(table, f);
    }
  }
  ::close(fd);
  return 0;
}
