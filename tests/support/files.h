// Small file helpers of the tests: write, read, look at and date files.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace kpwtest {

// Writes a file anew, making its folders first.
inline void WriteFile(const std::string& path, const std::string& data) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// Writes a file of size bytes that are all data (no holes: the copy engine skips holes, so only
// such a file takes a while to copy), making its folders first.
inline void WriteDenseFile(const std::string& path, std::uint64_t size) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const std::string block(std::size_t{1} << 20, 'd');
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (std::uint64_t done = 0; done < size; done += block.size())
    out.write(block.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), size - done)));
}

// The whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  // In blocks: byte by byte, images of many megabytes take seconds in the sanitizer builds.
  std::ifstream in(path, std::ios::binary);
  std::string out;
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) out.append(block, static_cast<std::size_t>(in.gcount()));
  return out;
}

// Whether a name exists (a dangling link counts).
inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Sets the access and write time of a name (not of what a link points to) to whole seconds.
inline void SetMTime(const std::string& path, std::int64_t seconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The write time of a name in whole seconds; -1 when it does not exist.
inline std::int64_t MTime(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtim.tv_sec) : -1;
}

// Every regular file below root: relative path -> content.
inline std::map<std::string, std::string> FileContents(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file() && !it->is_symlink())
      out[fs::relative(it->path(), root).string()] = ReadFile(it->path().string());
  return out;
}

}  // namespace kpwtest
