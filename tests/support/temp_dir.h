// A fresh folder for one test, removed with everything in it at the end (rights restored first).
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kpwtest {

// Gives the owner every right on each real folder below path, so that all of it can be removed.
inline void RestoreOwnerRights(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
  for (const auto& e : fs::directory_iterator(path, ec)) RestoreOwnerRights(e.path());
}

class TempDir {
 public:
  // tag: part of the folder's name; base: the folder to make it in (null: $TMPDIR, else /tmp).
  explicit TempDir(const std::string& tag = "test", const char* base = nullptr) {
    if (!base) base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kpw-" + tag + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    RestoreOwnerRights(path_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace kpwtest
