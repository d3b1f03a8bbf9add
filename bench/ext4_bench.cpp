// Writes a folder tree into an ext4 image through the volume file API, timing the writing and the detach.
// Usage: kpw_ext4_bench IMAGE SOURCE TARGET   (prints "write" and "detach" lines: seconds; TARGET
// is the folder inside the image that receives SOURCE's content)
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"
#include "lib/system/sys_types.h"
#include "lib/text/fmt.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool Fail(const std::string& what, int code) {
  FmtFprintfA(stderr, "%s: %d\n", what.c_str(), code);
  return false;
}

// Copies one folder's content (folders first made, then filled), in name order.
bool CopyTree(DiskDriveTable& table, const fs::path& from, const std::string& to, std::vector<char>& buf) {
  std::vector<fs::directory_entry> entries;
  for (const auto& e : fs::directory_iterator(from)) entries.push_back(e);
  std::sort(entries.begin(), entries.end());
  for (const auto& e : entries) {
    const std::string target = to + "/" + e.path().filename().string();
    if (e.is_directory()) {
      if (int r = DiskMkdir(table, target.c_str()); r != SYS_OK) return Fail("mkdir " + target, r);
      if (!CopyTree(table, e.path(), target, buf)) return false;
      continue;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(e.path().c_str(), "rb"), &std::fclose);
    if (!in) return Fail("open " + e.path().string(), -1);
    int err = 0;
    const DiskHandle h = DiskFileOpen(table, target.c_str(), DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    if (!h) return Fail("create " + target, err);
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), in.get())) > 0;) {
      const int written = DiskFileWrite(table, h, buf.data(), static_cast<int>(n));
      if (written != static_cast<int>(n)) return Fail("write " + target, written);
    }
    if (int r = DiskFileClose(table, h); r != SYS_OK) return Fail("close " + target, r);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    FmtFprintfA(stderr, "usage: %s IMAGE SOURCE TARGET\n", argv[0]);
    return 2;
  }
  DiskDriveTable table;
  const auto start = std::chrono::steady_clock::now();
  if (DiskAttach(table, argv[1], DISK_ATTACH_FIXED_DRIVE, nullptr, DISK_ALL_PARTITIONS) < 2) {
    FmtFprintfA(stderr, "attach: %s\n", table.message.c_str());
    return 1;
  }
  std::vector<char> buf(1 << 20);
  const std::string target = argv[3];
  int r = DiskMkdir(table, target.c_str());
  const bool ok = r == SYS_OK ? CopyTree(table, argv[2], target, buf) : Fail("mkdir " + target, r);
  const double written = Since(start);
  const auto detaching = std::chrono::steady_clock::now();
  r = DiskDetach(table, 0);
  const double detached = Since(detaching);
  if (!ok) return 1;
  FmtFprintfA(stdout, "write %.3f\ndetach %.3f\n", written, detached);
  return 0;
}
