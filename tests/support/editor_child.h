// An editor in a second process that saves a job file the two ways editors do.
#pragma once

#include "tests/support/child.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace kpwtest {

enum class EditorStyle {
  Renaming,  // writes a new file beside the old one and renames it over it
  InPlace,   // truncates the file and writes into it, in two pieces
  Removing,  // deletes the file
};

// Saves text to path as an editor of that style would, in a child process; true when the child
// did all of it. Everything the child needs is made before the fork (it only calls the system).
inline bool EditorSave(const std::string& path, const std::string& text, EditorStyle style) {
  const std::string temp = path + ".editor~";
  const std::size_t half = text.size() / 2;
  const int status = RunChild([&]() -> int {
    auto put = [](int fd, const char* p, std::size_t n) {
      while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
      }
      return true;
    };
    switch (style) {
      case EditorStyle::Renaming: {
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || !put(fd, text.data(), text.size()) || ::close(fd) != 0) return 1;
        return ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : 1;
      }
      case EditorStyle::InPlace: {
        const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0 || !put(fd, text.data(), half) || !put(fd, text.data() + half, text.size() - half)) return 1;
        return ::close(fd) == 0 ? 0 : 1;
      }
      case EditorStyle::Removing:
        return ::unlink(path.c_str()) == 0 ? 0 : 1;
    }
    return 1;
  });
  return status == 0;
}

}  // namespace kpwtest
