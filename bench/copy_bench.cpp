// Benchmark driver: copies a tree as the copy worker does (a listing and the copy engine per
// entry), or lists a tree and reports the memory the listing takes per entry.
#include "lib/system/dirlisting.h"
#include "lib/system/sys_copy.h"
#include "lib/system/sys_file.h"

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Heap bytes in use, large (mmapped) blocks included.
std::size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

int Copy(const char* source, const char* target) {
  CDirListing list;
  if (list.Open(source, 0x7000, nullptr, nullptr) < 0) {
    std::fprintf(stderr, "cannot list %s\n", source);
    return 1;
  }
  std::string base = target;
  base += '/';
  SysByteCounter counter{0};
  SysCancelFlag cancel{0};
  int files = 0;
  int failed = 0;
  int length = 0;
  while (const char* rel = list.Next(CDirListing::DL_NEXT_RELATIVE, &length)) {
    const int index = list.GetCurrent();
    std::string to = base;
    to.append(rel, static_cast<std::size_t>(length));
    if (list.GetEntry(index)->IsFolder()) {
      if (SysMkdirAll(to.c_str()) == 0) ++failed;
      continue;
    }
    const char* from = list.GetPath(index, nullptr, CDirListing::DL_PATH_FULL);
    if (SysFileCopyEx(0x3B0, from, to.c_str(), &counter, nullptr, &cancel) == 1) ++files;
    else ++failed;
  }
  if (list.GetReadState() > 1) ++failed;
  std::fprintf(stderr, "copied %d files, %d failures\n", files, failed);
  return failed ? 1 : 0;
}

int List(const char* folder) {
  const std::size_t before = HeapInUse();
  CDirListing list;
  list.Open(folder, 0x7000, nullptr, nullptr);
  const std::size_t after = HeapInUse();
  int length = 0;
  while (const char* path = list.Next(CDirListing::DL_NEXT_FULL, &length)) {
    std::fwrite(path, 1, static_cast<std::size_t>(length), stdout);
    std::fputc('\n', stdout);
  }
  const int count = list.GetCount();
  std::fprintf(stderr, "entries %d heap-bytes-per-entry %.1f counted-bytes-per-entry %.1f read-state %d\n", count,
               count ? static_cast<double>(after - before) / count : 0.0,
               count ? static_cast<double>(list.GetMemoryUsage()) / count : 0.0, list.GetReadState());
  return list.GetReadState() > 1 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "copy") == 0) return Copy(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "list") == 0) return List(argv[2]);
  std::fprintf(stderr, "usage: kpw_copy_bench copy SOURCE TARGET | list FOLDER\n");
  return 2;
}
