// Helpers of the file tests: the shared file helpers, a short call of the copy engine, names in a folder.
#pragma once

#include "lib/system/sys_copy.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

using kpwtest::Exists;
using kpwtest::ReadFile;
using kpwtest::TempDir;
using kpwtest::WriteFile;

inline int Copy(int flags, const std::string& source, const std::string& target,
                const SysCancelFlag* cancel = nullptr) {
  return SysFileCopyEx(flags, source.c_str(), target.c_str(), nullptr, nullptr, cancel);
}

// Number of names in a folder (without "." and "..").
inline long CountEntries(const std::string& dir) {
  return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
}
