// The last-error word is per thread, and errno maps to the Windows codes callers test for.
#include "platform/last_error.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <thread>

TEST(LastError, IsPerThread) {
  SetLastError(5);
  DWORD other = 99;
  std::thread([&] {
    other = GetLastError();
    SetLastError(112);
  }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 5u);
}

TEST(LastError, ErrnoTable) {
  EXPECT_EQ(Win32ErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(Win32ErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(Win32ErrorFromErrno(EMFILE), 4u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOMEM), 8u);
  EXPECT_EQ(Win32ErrorFromErrno(EINVAL), 87u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOSPC), 112u);
  EXPECT_EQ(Win32ErrorFromErrno(ENAMETOOLONG), 206u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOTDIR), 267u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOTEMPTY), 145u);
  EXPECT_EQ(Win32ErrorFromErrno(EROFS), 19u);
  EXPECT_EQ(Win32ErrorFromErrno(ETIMEDOUT), 1460u);
  EXPECT_EQ(Win32ErrorFromErrno(ECONNABORTED), 1226u);
  EXPECT_EQ(Win32ErrorFromErrno(EHOSTUNREACH), 1232u);
  EXPECT_EQ(Win32ErrorFromErrno(ENETDOWN), 1231u);
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
