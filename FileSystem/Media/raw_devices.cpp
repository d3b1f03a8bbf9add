// sysfs and /proc/self/mountinfo read into plain records.
#include "FileSystem/Media/raw_devices.h"

#include "lib/system/sys_fdio.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace {

std::string ReadText(const std::string& path) {
  std::string text;
  if (SysReadWholeFile(path.c_str(), text) != 0) return {};
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool ReadNumber(const std::string& path, u64* value) {
  const std::string text = ReadText(path);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

// "8:17" as a device number.
bool ParseDevice(const std::string& text, u64* device) {
  unsigned major = 0, minor = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &major, &minor, &tail) != 2) return false;
  *device = makedev(major, minor);
  return true;
}

// The device whose sysfs folder is dir (a real path).
bool DescribeFolder(const std::string& dir, DrvBlockDevice* out) {
  DrvBlockDevice d;
  if (!ParseDevice(ReadText(dir + "/dev"), &d.device) || !ReadNumber(dir + "/size", &d.size)) return false;
  d.name = dir.substr(dir.rfind('/') + 1);
  d.disk = d.device;
  u64 number = 0;
  if (ReadNumber(dir + "/partition", &number)) {
    d.partition = static_cast<u32>(number);
    if (!ReadNumber(dir + "/start", &d.start) || !ParseDevice(ReadText(dir.substr(0, dir.rfind('/')) + "/dev"), &d.disk))
      return false;
  }
  *out = std::move(d);
  return true;
}

std::string DeviceFolder(u64 device) {
  const std::string link = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(link.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

// The mount table escapes blanks, tabs, newlines and backslashes as three octal digits.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::vector<std::string> DrvFolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  struct Closer {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, Closer> d(::opendir(dir.c_str()));
  if (!d) return names;
  while (const dirent* e = ::readdir(d.get()))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  std::sort(names.begin(), names.end());
  return names;
}

std::string DrvDeviceNode(const DrvBlockDevice& device) {
  // sysfs writes "!" for the "/" of a node in a subfolder ("cciss!c0d0").
  std::string node = device.name;
  std::replace(node.begin(), node.end(), '!', '/');
  if (node.empty() || node.find("..") != std::string::npos) return {};
  return "/dev/" + node;
}

bool DrvDescribeDevice(u64 device, DrvBlockDevice* out) {
  const std::string dir = DeviceFolder(device);
  return !dir.empty() && DescribeFolder(dir, out);
}

std::vector<DrvBlockDevice> DrvPartitionsOf(u64 disk) {
  std::vector<DrvBlockDevice> parts;
  const std::string dir = DeviceFolder(disk);
  DrvBlockDevice self;
  if (dir.empty() || !DescribeFolder(dir, &self) || self.partition) return parts;
  for (const std::string& name : DrvFolderEntries(dir)) {
    DrvBlockDevice d;
    if (::access((dir + "/" + name + "/partition").c_str(), F_OK) == 0 && DescribeFolder(dir + "/" + name, &d) &&
        d.disk == disk)
      parts.push_back(std::move(d));
  }
  std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.partition < b.partition; });
  return parts;
}

std::vector<DrvBlockDevice> DrvBlockDevices() {
  std::vector<DrvBlockDevice> devices;
  for (const std::string& name : DrvFolderEntries("/sys/class/block")) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(("/sys/class/block/" + name).c_str(), nullptr),
                                                      &std::free);
    DrvBlockDevice d;
    if (real && DescribeFolder(real.get(), &d) && d.size > 0) devices.push_back(std::move(d));
  }
  return devices;
}

std::vector<DrvMount> DrvMounts() {
  std::vector<DrvMount> mounts;
  std::istringstream lines(ReadText("/proc/self/mountinfo"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string w; words >> w;) fields.push_back(std::move(w));
    // id, parent, major:minor, root, mount point, options, optional fields, "-", type, source, ...
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || dash + 1 == fields.end() || dash - fields.begin() < 6) continue;
    DrvMount m;
    if (!ParseDevice(fields[2], &m.device)) continue;
    m.root = Unescape(fields[3]);
    m.mountPoint = Unescape(fields[4]);
    m.fsType = *(dash + 1);
    mounts.push_back(std::move(m));
  }
  return mounts;
}

SysFd DrvOpenMountRoot(u64 device, std::string* fsType, std::string* mountPoint) {
  for (const DrvMount& m : DrvMounts()) {
    if (m.device != device || m.root != "/") continue;
    SysFd dir(::open(m.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st{};
    if (!dir || ::fstat(dir.Get(), &st) != 0 || st.st_dev != device) continue;
    if (fsType) *fsType = m.fsType;
    if (mountPoint) *mountPoint = m.mountPoint;
    return dir;
  }
  return SysFd();
}

SysFd DrvOpenDeviceNode(const DrvBlockDevice& device) {
  const std::string node = DrvDeviceNode(device);
  if (node.empty()) return SysFd();
  SysFd fd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st{};
  if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != device.device) return SysFd();
  return fd;
}
