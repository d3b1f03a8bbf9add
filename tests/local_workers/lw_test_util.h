// Helpers of the local-worker tests: scratch folders, files with set times, a run with scripted
// answers, and children that run as another user or in another root.
#pragma once

#include "jobs/local_workers.h"
#include "jobs/run_host.h"
#include "jobs/worker.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace lwtest {

namespace fs = std::filesystem;

inline constexpr i64 kT = 1700000000;  // an even second

inline std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void Write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline void SetTime(const std::string& path, i64 seconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline void WriteAt(const std::string& path, const std::string& text, i64 seconds) {
  Write(path, text);
  SetTime(path, seconds);
}

inline i64 MTime(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<i64>(st.st_mtim.tv_sec) : -1;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline mode_t Mode(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// Every regular file below root: relative path -> content.
inline std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file() && !it->is_symlink()) out[fs::relative(it->path(), root).string()] = Read(it->path());
  return out;
}

// A fresh folder below the temporary folder, removed with everything in it (rights restored first).
class Scratch {
 public:
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "kpw-lw-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    if (path_.empty()) return;
    for (auto it = fs::recursive_directory_iterator(path_, ec); it != fs::recursive_directory_iterator(); ++it)
      if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// One box shown to the user.
struct Box {
  std::string text;
  u32 type = 0;
};

// A run state with a scripted message box: answers come from a queue (IDOK when empty).
class WorkerRun {
 public:
  WorkerRun() {
    state.SetMessageBox([this](const std::string& text, const char*, u32 type) {
      std::lock_guard lock(mutex_);
      boxes_.push_back(Box{text, type});
      if (answers_.empty()) return static_cast<int>(IDOK);
      const int a = answers_.front();
      answers_.pop_front();
      return a;
    });
  }
  void Answer(int answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
  }
  std::vector<Box> Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  u32 Copied() { return state.FilesCopied().load(); }

  int operator()(JobWorkerFn fn, const std::string& source, const std::string& target, u32 flags = RUN_DIALOG,
                 const std::string& plus = "", const std::string& minus = "", bool subdirs = true,
                 const std::string& extra = "") {
    JobArgs args;
    args.source = source.c_str();
    args.target = target.c_str();
    args.plus = plus.c_str();
    args.minus = minus.c_str();
    args.subdirs = subdirs ? 1 : 0;
    args.extra = extra.c_str();
    args.flags = flags;
    JobContext ctx{state, kept};
    return fn(ctx, args);
  }

  CRunState state;
  CUrlConnection* kept = nullptr;

 private:
  std::mutex mutex_;
  std::deque<int> answers_;
  std::vector<Box> boxes_;
};

// Runs body in a forked child and returns its exit status (77: the child could not set itself up).
inline int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Drops to the user "nobody" in the current (child) process; false when that is impossible.
inline bool BecomeNobody() { return ::setgid(65534) == 0 && ::setuid(65534) == 0; }

}  // namespace lwtest
