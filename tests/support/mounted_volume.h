// A file system mounted by the kernel for a test, unmounted when it goes (needs root).
#pragma once

#include "tests/support/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace kpwtest {

class MountedVolume {
 public:
  // Mounts device at the folder dir (made when missing), with options ("ro") when given.
  MountedVolume(const std::string& device, const std::string& dir, const std::string& options = "") : m_dir(dir) {
    if (::geteuid() != 0) {
      m_why = "mounting needs root";
      return;
    }
    ::mkdir(dir.c_str(), 0755);
    int status = 0;
    const std::string out = Shell("mount " + (options.empty() ? "" : "-o " + options + " ") + Quote(device) + " " +
                                      Quote(dir) + " 2>&1",
                                  &status);
    if (status != 0) m_why = "cannot mount " + device + ": " + out;
    else m_mounted = true;
  }
  ~MountedVolume() { Unmount(); }
  MountedVolume(const MountedVolume&) = delete;
  MountedVolume& operator=(const MountedVolume&) = delete;

  // Unmounts now; a volume still busy is tried again for a few seconds.
  bool Unmount() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_mounted) {
      int status = 0;
      Shell("umount " + Quote(m_dir) + " 2>&1", &status);
      if (status == 0) m_mounted = false;
      else if (std::chrono::steady_clock::now() > deadline) return false;
      else std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  bool ok() const { return m_mounted; }
  const std::string& dir() const { return m_dir; }
  const std::string& why() const { return m_why; }

 private:
  std::string m_dir;
  std::string m_why;
  bool m_mounted = false;
};

}  // namespace kpwtest
