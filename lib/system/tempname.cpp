// SysTempName: fills the wildcards of a name with random characters and creates the file exclusively.
#include "lib/system/tempname.h"

#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_types.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {
char RandomChar(std::mt19937_64& rng) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  return kChars[rng() % 36];
}
}  // namespace

int SysTempName(char* buffer, int size, const char* base, const char* part, const char* part2, const char* part3) {
  if (!buffer || size <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return SYS_ERR_INVALID;
  }
  buffer[0] = '\0';
  std::string folder;
  if (base && *base) {
    folder = base;
  } else {
    const char* tmp = std::getenv("TMPDIR");
    folder = (tmp && *tmp) ? tmp : "/tmp";
  }
  SysStrAddSlash(folder, '/');
  std::string pattern;
  for (const char* p : {part, part2, part3})
    if (p) pattern += p;
  if (pattern.empty() || std::strchr(pattern.c_str(), '/') || std::strchr(pattern.c_str(), '\\')) {
    SetLastError(ERROR_INVALID_NAME);
    return SYS_ERR_INVALID;
  }
  const bool wild = pattern.find_first_of("*?") != std::string::npos;
  thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<u64>(::getpid())};
  for (int attempt = 0; attempt < 200; ++attempt) {
    std::string name;
    if (wild) {
      for (char ch : pattern) {
        if (ch == '?') name += RandomChar(rng);
        else if (ch == '*') for (int i = 0; i < 8; ++i) name += RandomChar(rng);
        else name += ch;
      }
    } else if (attempt == 0) {
      name = pattern;
    } else {
      const std::size_t dot = pattern.find_last_of('.');
      const std::size_t at = (dot == std::string::npos || dot == 0) ? pattern.size() : dot;
      name = pattern.substr(0, at);
      for (int i = 0; i < 8; ++i) name += RandomChar(rng);
      name += pattern.substr(at);
    }
    const std::string full = folder + name;
    if (static_cast<int>(full.size()) + 1 > size) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return SYS_ERR_NAME_TOO_LONG;
    }
    const SysOsPath os(full.c_str());
    if (!os.ok()) return os.error();
    const int fd = ::open(os.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      std::memcpy(buffer, full.c_str(), full.size() + 1);
      return static_cast<int>(full.size());
    }
    if (errno != EEXIST) return SysFail(errno, os.c_str());
  }
  SetLastError(ERROR_FILE_EXISTS);
  return SYS_ERR_EXISTS;
}
