// The SFTP adapter where it goes beyond the conformance suite: its own codes, links, big files, names, times and reconnects.
#include "platform/last_error.h"
#include "remote/ssh/sftp_connection.h"
#include "tests/sftp/sftp_fixture.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <cstring>
#include <thread>

namespace {

using namespace kpwtest;

using Records = std::map<std::string, WIN32_FIND_DATAA>;

Records List(CUrlConnection& c, const std::string& path, BOOL* ok = nullptr) {
  Records out;
  const auto take = [](void* context, const WIN32_FIND_DATAA* entry) -> BOOL {
    if (entry) (*static_cast<Records*>(context))[entry->cFileName] = *entry;
    return TRUE;
  };
  const BOOL listed = c.ReadDir(path.c_str(), &out, take, UrlDirFilter{});
  if (ok) *ok = listed;
  return out;
}

u32 Option(CUrlConnection& c, int id) {
  u32 value = 0;
  int size = sizeof value;
  return c.GetOption(id, &value, &size) ? value : ~u32{0};
}

u64 SizeOf(const WIN32_FIND_DATAA& r) {
  return u64{r.nFileSizeHigh} << 32 | r.nFileSizeLow;
}

class SftpAdapter : public SshTest {
 protected:
  void SetUp() override {
    SshTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    dir = server->NewFolder("adapter");
    c = Connect(dir);
    ASSERT_NE(c, nullptr);
  }
  void TearDown() override {
    c.reset();
    SshTest::TearDown();
  }
  // A file made on the server's disk, owned by the test user.
  void Make(const std::string& name, const std::string& text) const {
    WriteFile(dir + "/" + name, text);
    SshServer::Own(dir + "/" + name);
  }
  std::string dir;
  std::unique_ptr<CUrlConnection> c;
};

TEST_F(SftpAdapter, LocalCheckingAndPathsFailBeforeAnyLibraryCall) {
  TempDir local("sftp-local");
  Make("file", "x");
  {
    const CallCounter counter;
    EXPECT_FALSE(c->UploadFile(local.path().c_str(), "up", 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), u32{URL_FAIL_LOCAL});
    EXPECT_FALSE(c->UploadFile((local / "missing").c_str(), "up", 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), u32{URL_FAIL_LOCAL});
    WriteFile(local / "there", "t");
    EXPECT_FALSE(c->DownloadFile("file", (local / "there").c_str(), TRUE, 0, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(counter.Calls(), 0);
  }
  // A path beyond what the server takes fails whole, never cut.
  EXPECT_FALSE(c->Mkdir(std::string(5000, 'p').c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  // A file is no folder to change into; the current folder stays.
  EXPECT_FALSE(c->ChangeDir("file"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  std::string here;
  ASSERT_TRUE(c->GetCurrentDirString(here));
  EXPECT_EQ(here, dir);
  // Renames never replace; SFTP itself would say only "failure".
  Make("other", "o");
  EXPECT_FALSE(c->Rename("file", "other"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadFile(dir + "/other"), "o");
}

TEST_F(SftpAdapter, LinksAreResolvedAfterTheListingAndBigSizesSpillIntoTheAttributes) {
  Make("target.txt", "12345");
  std::filesystem::create_directory(dir + "/folder");
  std::filesystem::create_symlink("target.txt", dir + "/to-file");
  std::filesystem::create_symlink(dir + "/folder", dir + "/to-folder");
  std::filesystem::create_symlink("nowhere", dir + "/broken");
  // 5 GB without a block on the disk.
  std::ofstream(dir + "/huge").close();
  std::filesystem::resize_file(dir + "/huge", 5'000'000'000ull);
  BOOL ok = FALSE;
  const Records r = List(*c, "", &ok);
  ASSERT_TRUE(ok) << GetLastError();
  ASSERT_EQ(r.size(), 8u);  // with "." and ".."
  EXPECT_EQ(r.at("to-folder").dwFileAttributes & 0xFFFF, u32{URL_ATTR_LINK | URL_ATTR_DIRECTORY});
  EXPECT_EQ(r.at("to-file").dwFileAttributes & 0xFFFF, u32{URL_ATTR_LINK});
  EXPECT_EQ(SizeOf(r.at("to-file")), 5u);
  EXPECT_EQ(FileTimeToU64(r.at("to-file").ftLastWriteTime), FileTimeToU64(r.at("target.txt").ftLastWriteTime));
  // A link that leads nowhere comes as the server listed it.
  EXPECT_EQ(r.at("broken").dwFileAttributes >> 16 & 0xF000, 0xA000u);
  EXPECT_EQ(r.at("broken").dwFileAttributes & URL_ATTR_LINK, 0u);
  EXPECT_EQ(r.at("huge").nFileSizeHigh, 1u);
  EXPECT_EQ(SizeOf(r.at("huge")), 5'000'000'000ull);
  EXPECT_EQ(r.at("huge").dwFileAttributes & 0xFC00, 0x400u);
  EXPECT_EQ(r.at("huge").dwFileAttributes >> 16, 0100644u);
}

TEST_F(SftpAdapter, NamesAreUtf8OnTheWireAndInsideAndLatin1WhenOption69IsOff) {
  Make("ümlaut.txt", "u");
  std::filesystem::create_directory(dir + "/Grüße");
  SshServer::Own(dir + "/Grüße");
  EXPECT_EQ(Option(*c, URL_OPT_UTF8_NAMES), 1u);
  EXPECT_EQ(List(*c, "").count("ümlaut.txt"), 1u);
  ASSERT_TRUE(c->ChangeDir("Grüße"));
  ASSERT_TRUE(c->ChangeDir(".."));
  // Without option 69 the server's names are taken as Latin-1, each byte one character.
  const u32 off = 0;
  ASSERT_TRUE(c->SetOption(URL_OPT_UTF8_NAMES, &off, sizeof off, 0));
  EXPECT_EQ(List(*c, "").count("Ã¼mlaut.txt"), 1u);
  EXPECT_TRUE(c->ChangeDir("GrÃ¼Ã\u009fe"));
  ASSERT_TRUE(c->ChangeDir(".."));
  // A name that grows beyond a record's 260 bytes: the listing fails, for "Ftp Del" would take a
  // name left out for one the source lacks.
  std::string longName;
  for (int i = 0; i < 127; ++i) longName += "ü";
  Make(longName, "l");
  BOOL ok = TRUE;
  List(*c, "", &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  const u32 on = 1;
  ASSERT_TRUE(c->SetOption(URL_OPT_UTF8_NAMES, &on, sizeof on, 0));
  EXPECT_EQ(List(*c, "").count(longName), 1u);
}

TEST_F(SftpAdapter, TimesAreUtcAndOption74SetsOnlyWhatTheRecordCarries) {
  // A summer date where local time would be an hour off.
  const char* oldTz = std::getenv("TZ");
  const std::string savedTz = oldTz ? oldTz : "";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  Make("f", "x");
  ::chmod((dir + "/f").c_str(), 0640);
  const i64 summer = 1593604800;  // 2020-07-01 12:00:00 UTC
  const FILETIME t = U64ToFileTime((static_cast<u64>(summer) + kFileTimeEpochOffset) * 10'000'000);
  EXPECT_TRUE(c->SetFileTime("f", t));
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, summer);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // Attributes 0: the times alone.
  WIN32_FIND_DATAA record{};
  std::strcpy(record.cFileName, "f");
  record.ftLastWriteTime = U64ToFileTime((static_cast<u64>(summer + 60) + kFileTimeEpochOffset) * 10'000'000);
  ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
  ASSERT_EQ(::stat((dir + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, summer + 60);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Read-only and normal: r for owner and group, the normal bit's x left out.
  record.ftLastWriteTime = {};
  record.dwFileAttributes = URL_ATTR_READONLY | URL_ATTR_NORMAL;
  ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
  ASSERT_EQ(::stat((dir + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0440u);
  EXPECT_EQ(st.st_mtime, summer + 60);
  if (oldTz)
    ::setenv("TZ", savedTz.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TEST_F(SftpAdapter, ABrokenTransferReconnectsOnANewHandleForTheNextOperation) {
  TempDir local("sftp-break");
  Make("big", "");
  std::filesystem::resize_file(dir + "/big", 1ull << 30);
  std::thread breaker([&] {
    if (WaitUntil([&] { return c->IsBusy() && Option(*c, URL_OPT_BYTES_DONE) != 0; })) c->BreakIfBusy();
    else ADD_FAILURE() << "the download did not get under way";
  });
  const std::uintptr_t before = c->GetEngineHandle();
  EXPECT_FALSE(c->DownloadFile("big", (local / "big").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
  JoinWithin(breaker, "the breaker of the download");
  EXPECT_TRUE(std::filesystem::is_empty(local.path()));
  // The next operation finds the session gone and logs in again.
  Make("small", "s");
  EXPECT_TRUE(c->DownloadFile("small", (local / "small").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(ReadFile(local / "small"), "s");
  EXPECT_NE(c->GetEngineHandle(), before);
  // Option 72 reconnects on demand, also when nothing was lost.
  const std::uintptr_t second = c->GetEngineHandle();
  const u32 tries = 2;
  EXPECT_TRUE(c->SetOption(URL_OPT_RECONNECT, &tries, sizeof tries, 0));
  EXPECT_NE(c->GetEngineHandle(), second);
  EXPECT_TRUE(c->ChangeDir(dir.c_str()));
}

}  // namespace
