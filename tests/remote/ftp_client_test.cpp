// The FTP client against real servers: login, replies, paths, transfers, data connections, breaks.
#include "remote/ftp_client.h"
#include "remote/ftp_internal.h"
#include "tests/support/files.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

namespace {

using namespace kpwtest;
using namespace std::chrono_literals;

std::unique_ptr<FtpSession> Login(const FtpServer& server, u32 flags = 0, int* result = nullptr) {
  int code = 0;
  auto s = FtpConnect("127.0.0.1", server.User(), server.Password(), static_cast<u16>(server.Port()), flags, 5000,
                      &code);
  if (result) *result = code;
  return s;
}

// Everything a transfer's sink got, and its signals without data.
struct Sink {
  std::string data;
  std::vector<int> signals;
  static int Write(void* context, const BYTE* buffer, int count) {
    auto* s = static_cast<Sink*>(context);
    if (!buffer) {
      s->signals.push_back(count);
      return count;
    }
    s->data.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count));
    return count;
  }
};

std::string Names(FtpSession* s, const char* path, int* code = nullptr) {
  std::string all;
  const auto add = [](void* context, const WIN32_FIND_DATAA* e) -> BOOL {
    auto* out = static_cast<std::string*>(context);
    if (e && std::strcmp(e->cFileName, ".") != 0 && std::strcmp(e->cFileName, "..") != 0)
      *out += std::string(out->empty() ? "" : " ") + e->cFileName + ((e->dwFileAttributes & 0x10) ? "/" : "");
    return TRUE;
  };
  const int rc = FtpReadDir(s, path, &all, add);
  if (code) *code = rc;
  return all;
}

TEST(FtpClient, LogsInAndRunsTheFileCommands) {
  auto server = FtpServer::Python();
  ASSERT_TRUE(server);
  int code = 0;
  auto s = Login(*server, 0, &code);
  ASSERT_TRUE(s) << code;
  EXPECT_EQ(code / 100, 2);
  EXPECT_EQ(s->currentDir, "/");
  EXPECT_TRUE(s->flags & FTP_FEAT_MDTM);
  EXPECT_TRUE(s->flags & FTP_FEAT_SIZE);
  EXPECT_TRUE(s->flags & FTP_FEAT_MFMT);
  EXPECT_EQ(FtpMkdir(s.get(), "a/"), 257);
  EXPECT_TRUE(std::filesystem::is_directory(server->Root() + "/a"));
  EXPECT_EQ(FtpCwd(s.get(), "a"), 250);
  EXPECT_EQ(s->currentDir, "/a");
  EXPECT_EQ(FtpUploadMemory(s.get(), "./f.txt", "hello", 5), 226);
  EXPECT_EQ(ReadFile(server->Root() + "/a/f.txt"), "hello");
  EXPECT_EQ(Names(s.get(), "/a"), "f.txt");
  Sink sink;
  EXPECT_EQ(FtpDownloadProc(s.get(), "f.txt", &sink, Sink::Write), 226);
  EXPECT_EQ(sink.data, "hello");
  EXPECT_EQ(sink.signals, std::vector<int>{0});
  EXPECT_EQ(FtpSetFileTime(s.get(), "f.txt", 1600000000), 213);
  EXPECT_EQ(MTime(server->Root() + "/a/f.txt"), 1600000000);
  i64 t = 0;
  EXPECT_EQ(FtpGetFileTime(s.get(), "/a/f.txt", &t), 213);
  EXPECT_EQ(t, 1600000000);
  EXPECT_EQ(FtpChmod(s.get(), "f.txt", 0755), 200);
  struct stat st {};
  ASSERT_EQ(::stat((server->Root() + "/a/f.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(FtpRename(s.get(), "f.txt", "g.txt"), 250);
  EXPECT_EQ(FtpRemove(s.get(), "g.txt"), 250);
  EXPECT_EQ(FtpRemove(s.get(), "g.txt"), 550);
  EXPECT_EQ(FtpCwd(s.get(), "/"), 250);
  EXPECT_EQ(FtpRmdir(s.get(), "a/"), 250);
  EXPECT_FALSE(Exists(server->Root() + "/a"));
  EXPECT_TRUE(FtpClose(std::move(s), 100));
}

}  // namespace
