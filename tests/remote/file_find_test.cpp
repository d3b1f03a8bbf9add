// The directory enumerator: what it asks the connection for, stepping, rewinding, closing, broken
// listings, and the accessors of an entry.
#include "platform/last_error.h"
#include "remote/url_file_find.h"
#include "tests/support/memory_connection.h"
#include "tests/support/stub_connection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace kpwtest;

MemoryConnection& Fill(MemoryConnection& c) {
  c.MakeDirTree("/d/sub");
  for (const char* name : {"/d/a.txt", "/d/b.doc", "/d/c.txt"}) c.UploadMemory(name, "x", 1, 0, 0);
  c.calls.clear();
  return c;
}

std::string Names(CUrlFileFind& find) {
  std::string all;
  BOOL more;
  do {
    more = find.FindNextFile();
    all += (all.empty() ? "" : " ") + find.GetFileName();
  } while (more);
  return all;
}

TEST(FileFind, WhatTheConnectionIsAskedFor) {
  MemoryConnection c;
  Fill(c);
  const auto ask = [&](const char* pattern, u32 flags) {
    c.calls.clear();
    CUrlFileFind find(&c);
    find.FindFile(pattern, flags);
    return c.calls.empty() ? std::string() : c.calls.back();
  };
  EXPECT_EQ(ask("/d", 0), "ReadDir /d mask= folders=0");
  EXPECT_EQ(ask("/d/", 0), "ReadDir /d mask= folders=0");
  EXPECT_EQ(ask("/d/*.TXT", 0), "ReadDir /d mask=*.TXT folders=0");
  EXPECT_EQ(ask("/", 0), "ReadDir / mask= folders=0");
  EXPECT_EQ(ask("/d/*.txt", URL_FIND_FOLDERS_UNFILTERED), "ReadDir /d mask= folders=0");
  // Folders only, from a connection that can list them so.
  EXPECT_EQ(ask("/d", URL_FIND_NO_FILES), "ReadDir /d mask= folders=0");
  c.foldersOnlyOption = 1;
  EXPECT_EQ(ask("/d", URL_FIND_NO_FILES), "ReadDir /d mask= folders=1");
  EXPECT_EQ(ask("/d/s*", URL_FIND_NO_FILES), "ReadDir /d mask=s* folders=0");
  // A relative folder is taken in the current one.
  ASSERT_TRUE(c.ChangeDir("/d"));
  EXPECT_EQ(ask("sub", 0), "ReadDir /d/sub mask= folders=0");
  EXPECT_EQ(ask("*.doc", 0), "ReadDir /d mask=*.doc folders=0");
  // "\" is a byte of a name, never a separator.
  EXPECT_EQ(ask("x\\y", 0), "ReadDir /d/x\\y mask= folders=0");
  // The list form: one include pattern is the mask; a list is applied here.
  c.calls.clear();
  CUrlFileFind lists(&c);
  EXPECT_TRUE(lists.FindFile("/d", "*.txt;*.doc", "c*", 0));
  EXPECT_EQ(c.calls.back(), "ReadDir /d mask= folders=0");
  EXPECT_EQ(Names(lists), "a.txt b.doc");
  CUrlFileFind single(&c);
  EXPECT_FALSE(single.FindFile("/d", "*.doc", nullptr, URL_FIND_NO_FILES));  // files left out: nothing
  EXPECT_EQ(c.calls.back(), "ReadDir /d mask=*.doc folders=0");
}

TEST(FileFind, SteppingRewindingAndClosing) {
  MemoryConnection c;
  Fill(c);
  CUrlFileFind find(&c);
  EXPECT_EQ(find.GetFileName(), "");
  EXPECT_FALSE(find.FindNextFile());
  ASSERT_TRUE(find.FindFile("/d/*.txt", 0));
  EXPECT_EQ(find.GetFileName(), "");
  EXPECT_TRUE(find.FindNextFile());
  EXPECT_EQ(find.GetFileName(), "a.txt");
  EXPECT_FALSE(find.FindNextFile());  // the last entry is made current by the call that says FALSE
  EXPECT_EQ(find.GetFileName(), "c.txt");
  EXPECT_FALSE(find.FindNextFile());
  EXPECT_EQ(find.GetFileName(), "c.txt");
  // The same listing again: the stored entries from the start, the connection not asked.
  c.calls.clear();
  ASSERT_TRUE(find.FindFile("/d/*.txt", 0));
  EXPECT_TRUE(c.calls.empty());
  EXPECT_EQ(Names(find), "a.txt c.txt");
  ASSERT_TRUE(find.FindFile("/d/*.doc", URL_FIND_REREAD));
  EXPECT_EQ(Names(find), "b.doc");
#ifndef NDEBUG
  // Another listing without URL_FIND_REREAD would hand out the old entries: caught in debug builds.
  EXPECT_DEATH(find.FindFile("/d/sub", 0), "REREAD");
#endif
  EXPECT_TRUE(find.Close());
  EXPECT_FALSE(find.FindFile("/d", URL_FIND_REREAD));
  EXPECT_FALSE(find.FindNextFile());
}

TEST(FileFind, EmptyListingsAndFailedOnesTellApartByTheLastError) {
  MemoryConnection c;
  Fill(c);
  CUrlFileFind find(&c);
  EXPECT_FALSE(find.FindFile("/d/sub", 0));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(find.FindFile("/d/*.none", 0));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(find.FindFile("/nowhere", 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // A listing broken off after some entries stores none of them.
  c.failListingAfter = 2;
  EXPECT_FALSE(find.FindFile("/d", 0));
  EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
  EXPECT_FALSE(find.FindNextFile());
  // Without a connection.
  CUrlFileFind none(nullptr);
  EXPECT_FALSE(none.FindFile("/d", 0));
  EXPECT_NE(GetLastError(), 0u);
}

// Lists records as given, to reach sizes and times no small store has.
class Scripted : public StubConnection {
 public:
  Scripted() : StubConnection(1, "srv", nullptr, nullptr, 0, 0, 0) {}
  std::vector<WIN32_FIND_DATAA> records;
  BOOL leavesError = FALSE;  // the listing fails, but says no error
  BOOL ReadDir(const char*, void* context, UrlEntryFn entry, const UrlDirFilter&) override {
    for (const WIN32_FIND_DATAA& r : records) entry(context, &r);
    entry(context, nullptr);
    SetLastError(ERROR_SUCCESS);
    return !leavesError;
  }
  BOOL GetCurrentDir(char* buffer, int* size) override {
    std::strcpy(buffer, "/home");
    *size = 5;
    return TRUE;
  }
};

TEST(FileFind, AccessorsOfAnEntry) {
  Scripted c;
  WIN32_FIND_DATAA r;
  std::strcpy(r.cFileName, "image.tar.gz");
  r.dwFileAttributes = URL_ATTR_ARCHIVE | URL_ATTR_READONLY;
  r.nFileSizeHigh = 1;
  r.nFileSizeLow = 0x40000000;  // 5 GiB
  r.ftLastWriteTime = U64ToFileTime((1700000000ull + kFileTimeEpochOffset) * 10'000'000);
  r.ftCreationTime = U64ToFileTime((1600000000ull + kFileTimeEpochOffset) * 10'000'000);
  c.records = {r};
  CUrlFileFind find(&c);
  ASSERT_TRUE(find.FindFile("pub/", 0));
  EXPECT_FALSE(find.FindNextFile());
  EXPECT_EQ(find.GetRoot(), "/home/pub");
  EXPECT_EQ(find.GetFilePath(), "/home/pub/image.tar.gz");
  EXPECT_EQ(find.GetFileURL(), "ftp://srv/home/pub/image.tar.gz");
  EXPECT_EQ(find.GetFileTitle(), "image.tar");
  EXPECT_EQ(find.GetLength64(), 5ull << 30);
  EXPECT_EQ(find.GetLength(), 0x40000000u);
  EXPECT_TRUE(find.MatchesMask(URL_ATTR_READONLY));
  EXPECT_FALSE(find.MatchesMask(URL_ATTR_DIRECTORY));
  EXPECT_FALSE(find.IsDots());
  EXPECT_EQ(find.GetLastWriteTime(), 1700000000);
  EXPECT_EQ(find.GetCreationTime(), 1600000000);
  SysUtc t = 0;
  EXPECT_TRUE(find.GetLastWriteTime(&t));
  EXPECT_EQ(t, 1700000000);
  FILETIME ft;
  EXPECT_TRUE(find.GetCreationTime(&ft));
  EXPECT_EQ(FileTimeToU64(ft), FileTimeToU64(r.ftCreationTime));
  // A failed listing that leaves no error still reads as failed.
  c.leavesError = TRUE;
  CUrlFileFind failed(&c);
  EXPECT_FALSE(failed.FindFile("/x", 0));
  EXPECT_NE(GetLastError(), 0u);
}

}  // namespace
