// The program's command line.
#include "app/command_line.h"

#include <sys/stat.h>

#include <algorithm>

CommandLineInfo ParseCommandLine(int argc, const char* const* argv) {
  CommandLineInfo info;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    const bool isSwitch = (!arg.empty() && arg[0] == '-') || (arg.size() == 2 && arg[0] == '/');
    if (!isSwitch) {
      if (info.file.empty() && !arg.empty()) {
        info.file = arg;
      } else {
        info.unused.push_back(arg);
      }
      continue;
    }
    switch (arg.size() >= 2 ? arg[1] : '\0') {
      case 'S':
      case 's': info.startAtOnce = true; break;
      case 'A':
      case 'a': info.always = true; break;
      case 'N':
      case 'n': info.noWindow = true; break;
      default: break;
    }
  }
  return info;
}

std::string CommandLineFilePath(const std::string& file) {
  if (file.find('\\') == std::string::npos) return file;
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) return file;
  std::string slashes = file;
  std::replace(slashes.begin(), slashes.end(), '\\', '/');
  return slashes;
}
