// SysTempFile: a file written beside its final name that gets that name only when it is whole.
//
// Where the file system can, the file has no name at all until Commit (O_TMPFILE), so a process
// that dies leaves nothing behind. Elsewhere it is a named file ".NAME~kpwN.tmp" that its writer
// holds locked (flock) while it lives; every Create removes such files of the same name that no
// running process holds, the leftovers of a writer that was killed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

class SysTempFile {
 public:
  SysTempFile() = default;
  ~SysTempFile() { Discard(); }
  SysTempFile(const SysTempFile&) = delete;
  SysTempFile& operator=(const SysTempFile&) = delete;

  // Starts the file for the final name name in the folder open as dirFd, which must stay open
  // until Commit or Discard. mode is the creation mode (the umask applies). 0 or an errno.
  int Create(int dirFd, std::string_view name, mode_t mode = 0666);
  int Fd() const { return m_fd; }
  // Writes all bytes; 0 or an errno.
  int Write(const void* data, std::size_t length);
  // Gives the file its final name and closes it. With replace the file takes the place of
  // whatever has the name; without, an existing name is never touched (EEXIST). 0 or an errno;
  // on failure the file is gone.
  int Commit(bool replace);
  // Drops the file (nothing happens when none is open).
  void Discard();

 private:
  int LinkTemporary();
  int m_fd = -1;
  int m_dirFd = -1;
  bool m_unnamed = false;
  std::string m_name;  // the final name
  std::string m_temp;  // the temporary name while it has one
};
