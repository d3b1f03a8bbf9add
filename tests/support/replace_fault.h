// A fault seam over the library's for temporary files and replaces: include it in exactly one
// source file of a test program, which then links these definitions instead of the library's.
#pragma once

#include "lib/system/sys_replace_seam.h"

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <utility>

namespace kpwtest {

// While it lives, fn decides each step of every replace: an errno to fail it with, or 0.
class ReplaceFault {
 public:
  explicit ReplaceFault(std::function<int(SysReplaceStep)> fn) { Set(std::move(fn)); }
  ~ReplaceFault() { Set(nullptr); }
  ReplaceFault(const ReplaceFault&) = delete;
  ReplaceFault& operator=(const ReplaceFault&) = delete;

  static int Ask(SysReplaceStep step) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fn_ ? fn_(step) : 0;
  }

 private:
  static void Set(std::function<int(SysReplaceStep)> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn_ = std::move(fn);
  }
  static inline std::mutex mutex_;
  static inline std::function<int(SysReplaceStep)> fn_;
};

// While it lives, fn sees every flush of a replace (its step and the descriptor flushed) just
// before it is made.
class ReplaceFlushWatch {
 public:
  explicit ReplaceFlushWatch(std::function<void(SysReplaceStep, int fd)> fn) { Set(std::move(fn)); }
  ~ReplaceFlushWatch() { Set(nullptr); }
  ReplaceFlushWatch(const ReplaceFlushWatch&) = delete;
  ReplaceFlushWatch& operator=(const ReplaceFlushWatch&) = delete;

  static void Tell(SysReplaceStep step, int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fn_) fn_(step, fd);
  }

 private:
  static void Set(std::function<void(SysReplaceStep, int)> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn_ = std::move(fn);
  }
  static inline std::mutex mutex_;
  static inline std::function<void(SysReplaceStep, int)> fn_;
};

// Files without a name cannot be made: every replace takes the named, locked fallback.
inline int NoUnnamedFiles(SysReplaceStep step) { return step == SysReplaceStep::Unnamed ? EOPNOTSUPP : 0; }

}  // namespace kpwtest

int SysReplaceFault(SysReplaceStep step) { return kpwtest::ReplaceFault::Ask(step); }

int SysReplaceSync(int fd, SysReplaceStep step) {
  if (const int err = kpwtest::ReplaceFault::Ask(step)) return err;
  kpwtest::ReplaceFlushWatch::Tell(step, fd);
  return ::fsync(fd) == 0 ? 0 : errno;
}
