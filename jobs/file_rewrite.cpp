// Replacing a file's content through a temporary file beside it, so that a failure leaves it whole.
#include "jobs/local_worker_support.h"

#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

bool Fail(int err, const std::string& path) {
  SetLastErrorFromErrno(err, path.c_str());
  return false;
}

}  // namespace

bool LocalRewriteFile(const char* path, const std::string& data) {
  const SysOsPath os(path);
  if (!os.ok()) return false;
  // The file a link names is rewritten; the link itself stays as it is.
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(os.c_str(), nullptr), &std::free);
  if (!real) return Fail(errno, os.c_str());
  const std::string target = real.get();
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return Fail(errno, target);
  if (!S_ISREG(st.st_mode)) return Fail(EINVAL, target);

  const auto slash = target.find_last_of('/');
  const std::string dir = slash == 0 ? "/" : target.substr(0, slash);
  const std::string name = dir + (dir == "/" ? "" : "/") + ".kpw-XXXXXX";
  std::vector<char> temp(name.begin(), name.end());
  temp.push_back('\0');
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Fail(errno, target);
  int err = 0;
  if (!SysWriteAll(fd, data.data(), data.size())) err = errno;
  if (!err && ::fchmod(fd, st.st_mode & 07777) != 0) err = errno;
  if (!err && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, st.st_uid, st.st_gid) != 0)
    err = errno;
  // fchown may drop set-id bits: put the mode back once more.
  if (!err && (st.st_mode & (S_ISUID | S_ISGID)) && ::fchmod(fd, st.st_mode & 07777) != 0) err = errno;
  if (!err && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(temp.data(), target.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(temp.data());
    return Fail(err, target);
  }
  // Make the rename itself durable; the new content is already safe on disk.
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}
