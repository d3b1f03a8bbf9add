// errno maps to the Windows codes callers test for.
#include "platform/last_error.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <utility>

TEST(LastError, ErrnoTable) {
  const std::pair<int, DWORD> table[] = {
      {EACCES, 5},       {EPERM, 5},           {EMFILE, 4},          {ENOMEM, 8},      {EINVAL, 87},
      {ENOSPC, 112},     {ENAMETOOLONG, 206},  {ENOTDIR, 267},       {ENOTEMPTY, 145}, {EROFS, 19},
      {ETIMEDOUT, 1460}, {ECONNABORTED, 1226}, {EHOSTUNREACH, 1232}, {ENETDOWN, 1231}};
  for (const auto& [err, code] : table) EXPECT_EQ(Win32ErrorFromErrno(err), code) << err;
}

TEST(LastError, PathDecidesMissingFileOrFolderAndFileOrFolderExists) {
  const kpwtest::TempDir dir("last-error");
  std::filesystem::create_directory(dir / "sub");
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, (dir / "missing.txt").c_str()), 2u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, (dir / "nofolder/missing.txt").c_str()), 3u);
  EXPECT_EQ(Win32ErrorFromErrno(EEXIST, (dir / "sub").c_str()), 183u);
  EXPECT_EQ(Win32ErrorFromErrno(EEXIST, (dir / "file").c_str()), 80u);
  EXPECT_EQ(SetLastErrorFromErrno(ENOSPC, nullptr), 112u);
  EXPECT_EQ(GetLastError(), 112u);
}
