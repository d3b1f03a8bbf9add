// What the volume fuzz targets share: arbitrary bytes as an image, and a bounded walk that lists every folder and reads every file.
#include "tests/fuzz/volume_walk.h"

#include <sys/mman.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace fuzzwalk {

namespace {

// Bounds that keep one input short: folders deep, entries seen, bytes read per file.
constexpr int kMaxDepth = 8;
constexpr int kMaxEntries = 3000;
constexpr int kMaxRead = 1 << 16;

}  // namespace

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

int ImageOf(const char* name, const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string PathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int WalkAndWrite(const char* name, const std::uint8_t* data, std::size_t size) {
  const int fd = ImageOf(name, data, size);
  if (fd < 0) return 0;
  const std::string path = PathOf(fd);
  {
    DiskDriveTable table;
    if (DiskAttach(table, path.c_str(), kAttach | DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS) > 1) {
      int seen = 0;
      Walk(table, "", 0, seen);
      if (DiskMkdir(table, "/x") != SYS_ERR_ACCESS) __builtin_trap();
    }
  }
  {
    DiskDriveTable table;
    if (DiskAttach(table, path.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS) > 1) {
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

}  // namespace fuzzwalk
