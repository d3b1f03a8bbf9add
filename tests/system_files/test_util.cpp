// Helpers of the file tests.
#include "test_util.h"

#include <dirent.h>

#include <cstring>

int CountEntries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
  ::closedir(d);
  return n;
}
