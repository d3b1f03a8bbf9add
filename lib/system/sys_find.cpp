// Lookups: one path, or the matches of a wildcard name in one folder.
#include "lib/system/sys_file.h"

#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_stat.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

struct SysFindState {
  DIR* dir = nullptr;
  std::string pattern;
  ~SysFindState() {
    if (dir) ::closedir(dir);
  }
};

namespace {

void CopyName(SysFindStruct* find, const char* name, std::size_t length) {
  if (length >= sizeof find->cName) length = sizeof find->cName - 1;
  std::memcpy(find->cName, name, length);
  find->cName[length] = '\0';
}

// The next entry of the search that matches its pattern and can be examined.
bool NextMatch(SysFindState* state, SysFindStruct* find) {
  const int fd = ::dirfd(state->dir);
  while (dirent* e = ::readdir(state->dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (StrMatchPatternA(state->pattern.c_str(), -1, e->d_name, -1, STR_MATCH_STARDOT) != 0) continue;
    SysFileInfo info;
    if (SysStatInfo(fd, e->d_name, &info) != 0) continue;  // vanished meanwhile
    static_cast<SysFileInfo&>(*find) = info;
    CopyName(find, e->d_name, std::strlen(e->d_name));
    return true;
  }
  return false;
}

}  // namespace

SysFindHandle SysFindFirstEx(const char* path, SysFindStruct* find, int* error) {
  auto fail = [error](int code) -> SysFindHandle {
    if (error) *error = code;
    return nullptr;
  };
  if (!find) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return fail(SYS_ERR_INVALID);
  }
  const SysOsPath os(path);
  if (!os.ok()) return fail(os.error());
  std::string p = os.c_str();
  int nameLength = 0;
  const char* name = SysPathName(static_cast<int>(p.size()), p.c_str(), &nameLength);
  if (nameLength > 0 && std::strpbrk(name, "*?")) {
    auto state = std::make_unique<SysFindState>();
    state->pattern.assign(name, static_cast<std::size_t>(nameLength));
    std::string folder = p.substr(0, p.size() - static_cast<std::size_t>(nameLength));
    if (folder.empty()) folder.assign(1, '.');
    state->dir = ::opendir(folder.c_str());
    if (!state->dir) return fail(SysFail(errno, folder.c_str()));
    if (!NextMatch(state.get(), find)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return fail(SYS_ERR_NOT_FOUND);
    }
    if (error) *error = SYS_OK;
    return state.release();
  }
  SysFileInfo info;
  if (const int err = SysStatInfo(AT_FDCWD, p.c_str(), &info)) return fail(SysFail(err, p.c_str()));
  static_cast<SysFileInfo&>(*find) = info;
  // The name of "/a/b/" is "b"; the root's name is "/".
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  name = SysPathName(static_cast<int>(p.size()), p.c_str(), &nameLength);
  if (nameLength == 0) CopyName(find, p.c_str(), p.size());
  else CopyName(find, name, static_cast<std::size_t>(nameLength));
  if (error) *error = SYS_OK;
  return new SysFindState();
}

int SysFindNext(SysFindHandle handle, SysFindStruct* find) {
  if (!handle || !handle->dir || !find) {
    SetLastError(ERROR_NO_MORE_FILES);
    return 0;
  }
  if (NextMatch(handle, find)) return 1;
  SetLastError(ERROR_NO_MORE_FILES);
  return 0;
}

void SysFindClose(SysFindHandle handle) { delete handle; }

SysUtc SysFindTime(const SysFileInfo* info) {
  if (!info) return -1;
  auto usable = [](SysUtc t) { return t != 0 && t != kSysUtcMissing; };
  if (usable(info->timeWrite)) return info->timeWrite;
  if (usable(info->timeCreate)) return info->timeCreate;
  if (usable(info->timeAccess)) return info->timeAccess;
  return 0;
}
