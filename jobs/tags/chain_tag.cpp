// The generation tags "#1#" to "#5#": the path of generation 0 and the shifting of the chain.
#include "jobs/tags/path_tags.h"
#include "jobs/tags/tag_splice.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_ospath.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

enum class Entry { Missing, Present, Unknown };

// Whether a directory entry has the name; a dangling link counts, so it is shifted with the
// chain rather than be renamed onto. A name that cannot be looked up stops the rotation.
Entry LookUp(const std::string& path) {
  const SysOsPath osPath(path.c_str());
  if (!osPath.ok()) return Entry::Missing;  // a drive or UNC form: nothing here to shift
  struct stat st{};
  if (::lstat(osPath.c_str(), &st) == 0) return Entry::Present;
  if (errno == ENOENT || errno == ENOTDIR) return Entry::Missing;
  SetLastErrorFromErrno(osPath.c_str());
  return Entry::Unknown;
}

// Adds one to the k-digit decimal counter at path[at]; false on a carry out of the first digit.
bool Increment(std::string& path, std::size_t at, int k) {
  for (int i = k - 1; i >= 0; --i) {
    char& digit = path[at + static_cast<std::size_t>(i)];
    if (digit != '9') {
      ++digit;
      return true;
    }
    digit = '0';
  }
  return false;
}

void SetCounter(std::string& path, std::size_t at, int k, u64 value) {
  for (int i = k - 1; i >= 0; --i, value /= 10) path[at + static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
}

}  // namespace

int ExpandChainTag(const char* source, char* destination, int destinationSize, u32 mode) {
  if (!source) source = "";
  const char* tag = source;
  for (; (tag = std::strchr(tag, '#')) != nullptr; ++tag)
    if (tag[1] >= '1' && tag[1] <= '5' && tag[2] == '#') break;
  if (!tag) {
    SetLastError(ERROR_INVALID_NAME);
    return -1;
  }
  const int k = tag[1] - '0';
  const int at = static_cast<int>(tag - source);

  // The path of generation 0; one that does not fit fails the row rather than leave it empty.
  std::string zeros(static_cast<std::size_t>(k), '0');
  if ((mode & 0x80000000u) != 0) {
    char number[16];
    FmtSnprintfA(number, sizeof number, "%08i", static_cast<int>(mode & 0x7FFFFFFFu));
    zeros.assign(number + std::strlen(number) - static_cast<std::size_t>(k));
  }
  std::string path(source, static_cast<std::size_t>(at));
  path += zeros;
  path += tag + 3;
  if (kpw::tags::Splice(source, at, at + 3, zeros, false, destination, destinationSize) < 0) return -1;
  if (mode != 0) return 0;

  // Rotate: count the generations present from 0 on, then shift them up from the top down.
  if (!path.empty() && path.back() == '/') path.pop_back();
  const std::size_t counter = static_cast<std::size_t>(at);
  int count = 0;
  for (Entry e; (e = LookUp(path)) != Entry::Missing; ++count) {
    if (e == Entry::Unknown) return -1;
    if (!Increment(path, counter, k)) {
      SetLastError(ERROR_FILE_EXISTS);
      return -2;
    }
  }
  std::string from = path;
  for (int n = count; n > 0; --n) {
    SetCounter(path, counter, k, static_cast<u64>(n));
    SetCounter(from, counter, k, static_cast<u64>(n - 1));
    if (SysRename(from.c_str(), path.c_str(), SYS_RENAME_NOREPLACE) != 0) return -1;
  }
  return count;
}
