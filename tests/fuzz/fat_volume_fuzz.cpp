// libFuzzer target: arbitrary bytes mounted as a FAT volume, every folder listed and every file read, then written on.
#include "FileSystem/drive_table.h"
#include "FileSystem/volume_api.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Bounds that keep one input short: folders deep, entries seen, bytes read per file.
constexpr int kMaxDepth = 8;
constexpr int kMaxEntries = 3000;
constexpr int kMaxRead = 1 << 16;

void Walk(DiskDriveTable& table, const std::string& folder, int depth, int& seen) {
  if (depth > kMaxDepth) return;
  DiskFindRecord record;
  int err = 0;
  const DiskHandle h = DiskFindFirst(table, (folder + "/*").c_str(), &record, &err);
  if (!h) return;
  std::string names[64];
  bool folders[64] = {};
  int count = 0;
  do {
    if (record.name[0] == '\0') __builtin_trap();  // never an entry without a name
    if (count < 64) {
      names[count] = record.name;
      folders[count] = (record.attributes & DISK_ATTR_FOLDER) != 0;
      ++count;
    }
  } while (++seen < kMaxEntries && DiskFindNext(table, h, &record) == 0);
  DiskFindClose(table, h);
  static char block[4096];
  for (int i = 0; i < count; ++i) {
    const std::string path = folder + "/" + names[i];
    if (folders[i]) {
      Walk(table, path, depth + 1, seen);
      continue;
    }
    const DiskHandle f = DiskFileOpen(table, path.c_str(), DISK_OPEN_READ, &err);
    if (!f) continue;
    for (int total = 0, n; total < kMaxRead && (n = DiskFileRead(table, f, block, sizeof block)) > 0; total += n) {
    }
    DiskFileClose(table, f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("fat", MFD_CLOEXEC);
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
      if (DiskMkdir(table, "/x") != SYS_ERR_ACCESS) __builtin_trap();  // read-only stays read-only
    }
  }
  {
    // The same volume written on: folders made, a file grown, renamed and removed.
    DiskDriveTable table;
    if (DiskAttach(table, path.c_str(), mode, nullptr, DISK_ALL_PARTITIONS) > 1) {
      DiskMkdir(table, "/Neuer Ordner");
      int err = 0;
      const DiskHandle f = DiskFileOpen(table, "/Neuer Ordner/Datei mit langem Namen.txt",
                                        DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
      if (f) {
        static const char text[3000] = "kopiwart";
        DiskFileWrite(table, f, text, sizeof text);
        DiskSetFileSize(table, f, 5000);
        DiskFileClose(table, f);
      }
      DiskRename(table, "/Neuer Ordner/Datei mit langem Namen.txt", "/umbenannt.txt");
      DiskDelete(table, "/umbenannt.txt");
      DiskRmdir(table, "/Neuer Ordner");
      int seen = 0;
      Walk(table, "", 0, seen);
    }
  }
  ::close(fd);
  return 0;
}
