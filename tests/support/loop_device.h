// A loop device over a test's own image, detached when it goes (needs root).
#pragma once

#include "tests/support/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace kpwtest {

class LoopDevice {
 public:
  // sectorSize: the device's logical sector size (0: the default, 512). partitions: the nodes of
  // the image's partitions are made ("p1", "p2"...), as partition(n) names them.
  explicit LoopDevice(const std::string& image, unsigned sectorSize = 0, bool partitions = false) {
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
    if (partitions) command += " -P";
    int status = 0;
    std::string out = Shell(command + " " + Quote(image) + " 2>&1", &status);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (status != 0 || out.rfind("/dev/loop", 0) != 0) {
      m_why = "no loop device: " + out;
      return;
    }
    m_path = out;
    if (partitions && !WaitForPartitions()) m_why = "the kernel made no partition nodes for " + m_path + ": " + m_partx;
  }
  ~LoopDevice() {
    if (!m_path.empty()) Shell("losetup -d " + Quote(m_path) + " 2>&1");
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool ok() const { return !m_path.empty() && m_why.empty(); }
  // The node of partition n ("/dev/loop3p2").
  std::string partition(int n) const { return m_path + "p" + std::to_string(n); }
  const std::string& path() const { return m_path; }
  const std::string& why() const { return m_why; }

 private:
  // The kernel's own scan may not run (or not yet): partx adds what the table lists.
  bool WaitForPartitions() {
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; std::chrono::steady_clock::now() < start + std::chrono::seconds(10); ++round) {
      struct stat st{};
      if (::stat(partition(1).c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return true;
      if (round % 20 == 0) m_partx = Shell("partx -a " + Quote(m_path) + " 2>&1");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string m_path;
  std::string m_why;
  std::string m_partx;
};

}  // namespace kpwtest
