// A folder on another file system than a given folder's, for moves that cannot be renames.
#pragma once

#include "tests/support/temp_dir.h"

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace kpwtest {

class OtherFileSystem {
 public:
  // A fresh folder below /dev/shm when that lies on another file system than near; else, as
  // root, a tmpfs mounted below near in a mount namespace of the calling thread's own (so that
  // nobody else sees it and it cannot outlive the test program). Otherwise none: why() says why.
  explicit OtherFileSystem(const std::string& near) {
    struct stat here {}, shm {};
    if (::stat(near.c_str(), &here) != 0) {
      why_ = near + " cannot be examined";
      return;
    }
    if (::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && shm.st_dev != here.st_dev &&
        ::access("/dev/shm", W_OK) == 0) {
      shm_ = std::make_unique<TempDir>("other", "/dev/shm");
      path_ = shm_->path();
      return;
    }
    if (::geteuid() != 0) {
      why_ = "/dev/shm lies on the same file system and only root may mount another one";
      return;
    }
    // The thread's own mount namespace, private all through: the tmpfs never reaches the host.
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      why_ = std::string("/dev/shm lies on the same file system and no mount namespace can be made: ") +
             std::strerror(errno);
      return;
    }
    std::string dir = near + "/kpw-tmpfs-XXXXXX";
    if (!::mkdtemp(dir.data())) {
      why_ = "no folder for the tmpfs below " + near;
      return;
    }
    if (::mount("kpw-test", dir.c_str(), "tmpfs", 0, "size=64m,mode=0755") != 0) {
      why_ = std::string("a tmpfs cannot be mounted: ") + std::strerror(errno);
      ::rmdir(dir.c_str());
      return;
    }
    mounted_ = true;
    path_ = dir;
  }
  ~OtherFileSystem() {
    if (!mounted_) return;
    ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());
  }
  OtherFileSystem(const OtherFileSystem&) = delete;
  OtherFileSystem& operator=(const OtherFileSystem&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& why() const { return why_; }

 private:
  std::unique_ptr<TempDir> shm_;
  bool mounted_ = false;
  std::string path_;
  std::string why_;
};

}  // namespace kpwtest
