// libFuzzer target: the zip reader on arbitrary bytes, opened from a memory file and from memory, and
// unpacked into a scratch folder.
#include "archive/zip_file.h"
#include "lib/system/sys_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Stops unpacking archives that claim more than a few MiB, so that a run stays short.
int Callback(void*, int event, int, CArcFile* archive, const char*) {
  if (event != ARC_EVENT_READ) return 0;
  i64 position = 0, total = 0;
  static_cast<CZipFile*>(archive)->GetProgress(&position, &total);
  return total > (i64{8} << 20) ? 1 : 0;
}

const std::string& Scratch() {
  static char pattern[] = "/tmp/kpw-zipfuzz-XXXXXX";
  static const std::string folder = [] {
    if (!::mkdtemp(pattern)) std::abort();
    std::atexit([] { ::rmdir(pattern); });  // the fuzzer ends its timed run through exit()
    return std::string(pattern);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("zip", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  CZipFile zip, memory;
  const int opened = zip.Open(path.c_str(), ARC_OPEN_READ, 9);
  // From memory the same bytes open the same way.
  const int fromMemory = memory.OpenMemory(data, size, "fuzz");
  if (opened != fromMemory || (opened == 0 && memory.GetEntryCount() != zip.GetEntryCount())) __builtin_trap();
  if (opened == 0) {
    std::string name;
    for (int i = 0; i < zip.GetEntryCount(); ++i) {
      if (!zip.GetEntryName(i, name)) __builtin_trap();
      zip.IsEntryFolder(i);
    }
    zip.SetCallback(nullptr, Callback);
    // The seeds' encrypted entries take this password; a wrong one is given up on.
    zip.SetPasswordCallback([](const std::string&, bool wrong, std::string& password) {
      password = "fuzz";
      return wrong ? 0 : 1;
    });
    const std::string out = Scratch() + "/out";
    zip.ExtractAll(out.c_str(), nullptr);
    (void)zip.GetErrorText();
    zip.Close();
    SysRmdirTree(out.c_str(), 0);
  } else if (zip.GetErrorText().empty()) {
    __builtin_trap();  // a failure always has its text
  }
  ::close(fd);
  return 0;
}
