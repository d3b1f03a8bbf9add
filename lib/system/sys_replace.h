// Replacing a whole file that the program owns: job files, the registry, lists, exports, archives.
//
// The new content goes to a temporary file beside the target (SysTempFile) and takes the old
// file's place by a rename only when it is complete, so a failed, cancelled or killed write
// leaves the old file as it was. The new file keeps the old one's owner, group and mode. Refused
// with error 5 (the old file stays): a target without the owner write bit or one this process
// may not write, and an owner or group that cannot be kept (a user who is not root saving
// another user's file). A link is followed: the file it points to is replaced and the link
// stays. A hard link is split: the other names keep the old content. With sync the new file is
// flushed before the rename and its folder after it.
//
// Each call returns 0 or an errno and sets the last error on failure.
#pragma once

#include "lib/system/sys_fd.h"
#include "lib/system/sys_tempfile.h"

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Writes data as the whole new content of path.
int SysReplaceFile(const char* path, std::string_view data, bool sync);

// The same, written in pieces: Begin, writes (Write, or the caller's own on Fd()), Commit.
// Destroying it without a Commit leaves the old file as it was.
class SysReplacement {
 public:
  SysReplacement() = default;
  ~SysReplacement() { Discard(); }
  SysReplacement(const SysReplacement&) = delete;
  SysReplacement& operator=(const SysReplacement&) = delete;

  int Begin(const char* path);
  // The new file, open for reading and writing.
  int Fd() const { return m_temp.Fd(); }
  // Whether a file was there to replace when Begin looked.
  bool Replacing() const { return m_hadOld; }
  // The file that is replaced (a link's target for a link).
  const std::string& Target() const { return m_target; }
  int Write(const void* data, std::size_t length);
  // beforeRename, when given, runs after the flush and right before the rename: a non-zero errno
  // from it drops the new file and leaves the old one (a writer that must not overwrite a file
  // that changed meanwhile checks here, where the window is smallest).
  int Commit(bool sync, const std::function<int()>& beforeRename = {});
  void Discard();

 private:
  int Fail(int err);
  SysTempFile m_temp;
  SysFd m_dirFd;
  bool m_hadOld = false;
  struct stat m_old {};
  std::string m_target;
};
