// The base class's own bodies: memory sinks and sources, transfers through temporary files,
// folder trees, option texts, URL paths, find records and the Latin-1 edge of names.
#include "platform/last_error.h"
#include "remote/url_connection.h"
#include "tests/support/child.h"
#include "tests/support/files.h"
#include "tests/support/memory_connection.h"
#include "tests/support/stub_connection.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace kpwtest;

// Runs body with TMPDIR set to dir; the old value comes back afterwards.
class TmpDirFor {
 public:
  explicit TmpDirFor(const std::string& dir) {
    const char* old = std::getenv("TMPDIR");
    m_had = old != nullptr;
    if (old) m_old = old;
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TmpDirFor() {
    if (m_had)
      ::setenv("TMPDIR", m_old.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }

 private:
  bool m_had = false;
  std::string m_old;
};

int Entries(const std::string& dir) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// A download that breaks off after its first block, as an adapter's engine may: one block, then
// the abort signal.
class BrokenDownload : public StubConnection {
 public:
  BrokenDownload() : StubConnection(1, "h", nullptr, nullptr, 0, 0, 0) {}
  BOOL DownloadProc(const char*, void* context, UrlWriteFn write, u32, u32, u32) override {
    const BYTE block[4] = {'a', 'b', 'c', 'd'};
    write(context, block, 4);
    write(context, nullptr, -1);
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
};

TEST(BaseTransfers, AMemorySinkTakesTheEndAndAbortSignalsWithoutCopying) {
  BrokenDownload c;
  char buffer[8] = "-------";
  EXPECT_EQ(c.DownloadMemory("x", buffer, 8, 0, 0, 0), -1);
  EXPECT_EQ(std::string(buffer, 7), "abcd---");
  EXPECT_EQ(c.DownloadMemory("x", buffer, -1, 0, 0, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(BaseTransfers, TheTemporaryFileIsGoneOnEveryPathAndAFailingSourceSendsNothing) {
  TempDir tmp("base-tmp");
  const TmpDirFor env(tmp.path());
  MemoryConnection c;
  // A source that fails after three blocks: 30, nothing sent, no temporary file left.
  struct Failing {
    int blocks = 0;
    static int Read(void* context, BYTE* buffer, int size) {
      auto* f = static_cast<Failing*>(context);
      if (f->blocks == 3) return -1;
      ++f->blocks;
      std::memset(buffer, 'x', static_cast<std::size_t>(size));
      return size;
    }
  } failing;
  EXPECT_FALSE(c.UploadProc("/f", &failing, Failing::Read, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
  EXPECT_EQ(c.nodes.count("/f"), 0u);
  EXPECT_EQ(Entries(tmp.path()), 0);
  // Success and a failed download leave nothing there either.
  EXPECT_TRUE(c.UploadMemory("/f", "data", 4, 0, 0));
  char buffer[8];
  EXPECT_EQ(c.DownloadMemory("/f", buffer, 8, 0, 0, 0), 4);
  EXPECT_EQ(c.DownloadMemory("/missing", buffer, 8, 0, 0, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Entries(tmp.path()), 0);
  // No temporary folder at all: the creation's error, nothing sent.
  const TmpDirFor gone(tmp / "missing");
  EXPECT_FALSE(c.UploadMemory("/g", "x", 1, 0, 0));
  EXPECT_EQ(c.nodes.count("/g"), 0u);
}

TEST(BaseTransfers, ATemporaryFileThatCannotBeWrittenWholeIsNeverSent) {
  TempDir tmp("base-fsize");
  // In a child, as the file-size limit holds for the whole process.
  const int status = RunChild([&] {
    const TmpDirFor env(tmp.path());
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
    MemoryConnection c;
    const std::string data(256 * 1024, 'd');
    if (c.UploadMemory("/f", data.data(), static_cast<int>(data.size()), 0, 0)) return 1;
    if (GetLastError() != ERROR_FILE_TOO_LARGE) return 2;
    if (c.nodes.count("/f")) return 3;
    if (Entries(tmp.path()) != 0) return 4;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST(BaseTrees, MakeDirTreeWalksUpUntilAFolderCanBeMadeAndDownAgain) {
  MemoryConnection c;
  ASSERT_TRUE(c.Mkdir("/a"));
  c.calls.clear();
  EXPECT_TRUE(c.MakeDirTree("a/b/c/"));
  EXPECT_EQ(c.calls, (std::vector<std::string>{"Mkdir /a/b/c", "Mkdir /a/b", "Mkdir /a/b/c"}));
  // A path that is there already fails: every Mkdir does (callers try ChangeDir first).
  c.calls.clear();
  EXPECT_FALSE(c.MakeDirTree("/a/b"));
  EXPECT_EQ(c.calls, (std::vector<std::string>{"Mkdir /a/b", "Mkdir /a"}));
  // Drive roots are never made; "12:30" is just a name.
  c.calls.clear();
  for (const char* path : {"", "/", "X:", "X:/", "/X:"}) EXPECT_FALSE(c.MakeDirTree(path)) << path;
  EXPECT_FALSE(c.MakeDirTree("X:/a"));
  EXPECT_EQ(c.calls, std::vector<std::string>{"Mkdir /X:/a"});
  EXPECT_TRUE(c.MakeDirTree("/a/12:30/x"));
  // More missing levels than any fixed table would hold.
  std::string deep = "/deep";
  for (int i = 0; i < 40; ++i) deep += "/" + std::to_string(i);
  EXPECT_TRUE(c.MakeDirTree(deep.c_str()));
  EXPECT_EQ(c.nodes.count(deep), 1u);
}

TEST(BaseTrees, RemoveTreeTakesLinksAsLinksAndRefusesDriveRoots) {
  MemoryConnection c;
  ASSERT_TRUE(c.MakeDirTree("/outside/keep"));
  ASSERT_TRUE(c.UploadMemory("/outside/keep/f", "f", 1, 0, 0));
  ASSERT_TRUE(c.MakeDirTree("/tree/sub"));
  c.AddLink("/tree/sub/link", "/outside");
  c.calls.clear();
  EXPECT_TRUE(c.RemoveTree("/tree"));
  EXPECT_EQ(c.calls,
            (std::vector<std::string>{"ReadDir /tree mask= folders=0", "ReadDir /tree/sub mask= folders=0",
                                      "Remove /tree/sub/link", "Rmdir /tree/sub", "Rmdir /tree"}));
  EXPECT_EQ(c.nodes.count("/outside/keep/f"), 1u);
  EXPECT_FALSE(c.RemoveTree(""));
  EXPECT_FALSE(c.RemoveTree("C:"));
  EXPECT_FALSE(c.RemoveTree("/missing"));
}

// Answers option 99 with a text, as adapters with text options do.
class TextOption : public StubConnection {
 public:
  TextOption() : StubConnection(1, "srv", nullptr, nullptr, 0, 0, 0) {}
  std::string text = "Willkommen auf srv";
  std::string dir = "/x";
  int asks = 0;
  BOOL GetOption(int id, void* buffer, int* size) override {
    if (id != 99) return CUrlConnection::GetOption(id, buffer, size);
    ++asks;
    const int need = static_cast<int>(text.size()) + 1;
    if (!buffer || *size < need) {
      *size = need;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(buffer, text.c_str(), static_cast<std::size_t>(need));
    *size = need - 1;
    return TRUE;
  }
  BOOL GetCurrentDir(char* buffer, int* size) override {
    const int need = static_cast<int>(dir.size()) + 1;
    if (!buffer || *size < need) {
      *size = need;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(buffer, dir.c_str(), static_cast<std::size_t>(need));
    *size = need - 1;
    return TRUE;
  }
};

TEST(BaseHelpers, OptionTextsUrlPathsAndLongCurrentFolders) {
  TextOption c;
  std::string out;
  EXPECT_TRUE(c.GetOptionString(99, out));
  EXPECT_EQ(out, "Willkommen auf srv");
  EXPECT_EQ(c.asks, 2);  // the size, then the text
  EXPECT_FALSE(c.GetOptionString(98, out));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(out, "");
  // The same URL whether the server gives its folder with or without a leading "/".
  std::string a, b;
  EXPECT_TRUE(c.GetUrlPath(a));
  c.dir = "x";
  EXPECT_TRUE(c.GetUrlPath(b));
  EXPECT_EQ(a, "ftp://srv/x");
  EXPECT_EQ(b, a);
  // A folder longer than the first buffer is asked again with the size it needs.
  c.dir = "/" + std::string(3000, 'd');
  EXPECT_TRUE(c.GetCurrentDirString(out));
  EXPECT_EQ(out, c.dir);
  char small[4];
  EXPECT_FALSE(c.GetCurrentDirBuf(small, sizeof small));
}

// Records what ApplyFindData sets.
class Applied : public StubConnection {
 public:
  Applied() : StubConnection(1, "h", nullptr, nullptr, 0, 0, 0) {}
  std::vector<std::string> calls;
  BOOL SetFileTime(const char* path, FILETIME t) override {
    calls.push_back(std::string("time ") + path + " " + std::to_string(FileTimeToU64(t)));
    return TRUE;
  }
  BOOL SetAttributes(const char* path, u32 a) override {
    calls.push_back(std::string("attr ") + path + " " + std::to_string(a));
    return TRUE;
  }
};

TEST(BaseHelpers, ApplyFindDataSetsOnlyWhatTheRecordCarries) {
  Applied c;
  WIN32_FIND_DATAA record;
  std::strcpy(record.cFileName, "f");
  EXPECT_TRUE(c.ApplyFindData(record));                   // no time, no attributes
  record.ftLastWriteTime = U64ToFileTime(0xFFFFFFFFull);  // a high word of 0 counts as none
  record.dwFileAttributes = 0xFFFFFFFF;
  EXPECT_TRUE(c.ApplyFindData(record));
  EXPECT_TRUE(c.calls.empty());
  record.ftLastWriteTime = U64ToFileTime(0x100000005ull);
  record.dwFileAttributes = 0x421;
  EXPECT_TRUE(c.ApplyFindData(record));
  EXPECT_EQ(c.calls, (std::vector<std::string>{"time f 4294967301", "attr f 33"}));
}

// Exposes the name edge of the base class.
class Names : public MemoryConnection {
 public:
  using CUrlConnection::NameIn;
  using CUrlConnection::NameOut;
};

TEST(BaseHelpers, NamesWithoutUtf8AreLatin1AndNeverTakenForOthers) {
  std::string wire;
  EXPECT_TRUE(CUrlConnection::NameToLatin1("M\xC3\xBCller \xC3\xA4", wire));
  EXPECT_EQ(wire, "M\xFCller \xE4");
  EXPECT_EQ(CUrlConnection::NameFromLatin1(wire), "M\xC3\xBCller \xC3\xA4");
  EXPECT_FALSE(CUrlConnection::NameToLatin1("5\xE2\x82\xAC", wire));  // the euro sign has no Latin-1 form
  EXPECT_FALSE(CUrlConnection::NameToLatin1("a\xFC", wire));          // no UTF-8
  // Option 69 decides at the adapter's edge.
  Names c;
  EXPECT_TRUE(c.NameOut("\xE2\x82\xAC", wire));
  EXPECT_EQ(wire, "\xE2\x82\xAC");
  const u32 off = 0;
  ASSERT_TRUE(c.SetOption(URL_OPT_UTF8_NAMES, &off, 4, 0));
  EXPECT_FALSE(c.NameOut("\xE2\x82\xAC", wire));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_TRUE(c.NameOut("\xC3\xBC", wire));
  EXPECT_EQ(wire, "\xFC");
  EXPECT_EQ(c.NameIn("\xFC"), "\xC3\xBC");
}

TEST(BaseHelpers, CountersAnswerIn32And64BitWords) {
  MemoryConnection c;
  const u64 big = (5ull << 32) + 7;
  ASSERT_TRUE(c.SetOption(URL_OPT_SET_DONE, &big, 8, 0));
  u32 low = 0;
  int size = 4;
  ASSERT_TRUE(c.GetOption(URL_OPT_BYTES_DONE, &low, &size));
  EXPECT_EQ(low, 7u);
  u64 wide = 0;
  size = 8;
  ASSERT_TRUE(c.GetOption(URL_OPT_BYTES_DONE, &wide, &size));
  EXPECT_EQ(wide, big);
  EXPECT_EQ(size, 8);
  u64 pair[2] = {};
  size = 16;
  ASSERT_TRUE(c.GetOption(URL_OPT_PROGRESS, pair, &size));
  EXPECT_EQ(pair[0], big);
  // Without an engine, every option fails with 6.
  StubConnection closed(0, "h", nullptr, nullptr, 0, 0, 0);
  EXPECT_FALSE(closed.GetOption(URL_OPT_KIND, &low, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(closed.SetOption(URL_OPT_UPLOAD_SIZE, &low, 4, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
