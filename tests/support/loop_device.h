// A loop device over a test's own image, detached when it goes (needs root).
#pragma once

#include "tests/support/run.h"

#include <unistd.h>

#include <string>

namespace kpwtest {

class LoopDevice {
 public:
  // sectorSize: the device's logical sector size (0: the default, 512).
  explicit LoopDevice(const std::string& image, unsigned sectorSize = 0) {
    if (::geteuid() != 0) {
      m_why = "loop devices need root";
      return;
    }
    if (!HaveTool("losetup")) {
      m_why = "losetup is not installed";
      return;
    }
    std::string command = "losetup -f --show";
    if (sectorSize) command += " --sector-size " + std::to_string(sectorSize);
    int status = 0;
    std::string out = Shell(command + " " + Quote(image) + " 2>&1", &status);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (status != 0 || out.rfind("/dev/loop", 0) != 0) {
      m_why = "no loop device: " + out;
      return;
    }
    m_path = out;
  }
  ~LoopDevice() {
    if (!m_path.empty()) Shell("losetup -d " + Quote(m_path) + " 2>&1");
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool ok() const { return !m_path.empty(); }
  const std::string& path() const { return m_path; }
  const std::string& why() const { return m_why; }

 private:
  std::string m_path;
  std::string m_why;
};

}  // namespace kpwtest
