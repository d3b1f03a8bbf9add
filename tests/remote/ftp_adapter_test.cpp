// The FTP adapter and its connect: codes, modes, options, reconnects and breaks, and listings as
// servers send them.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/ftp/ftp_connection.h"
#include "remote/url_file_find.h"
#include "tests/support/files.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/run_rig.h"
#include "tests/support/scripted_ftp.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace kpwtest;
using namespace std::chrono_literals;

std::unique_ptr<CUrlConnection> Open(const FtpServer& server, u32 flags = 0) {
  return ConnectUrl("127.0.0.1", server.User(), server.Password(), static_cast<u16>(server.Port()),
                    URL_KIND_FTP | flags, nullptr, nullptr);
}

// "name:attributes:size" of every entry but the dots, in listing order.
std::string Listed(CUrlConnection& c, const char* folder, DWORD* error = nullptr) {
  std::string all;
  CUrlFileFind find(&c);
  if (find.FindFile(folder, URL_FIND_NO_DOTS)) {
    BOOL more;
    do {
      more = find.FindNextFile();
      char line[400];
      std::snprintf(line, sizeof line, "%s%s:%x:%llu", all.empty() ? "" : " ", find.GetFileName().c_str(),
                    find.GetFindData().dwFileAttributes & (URL_ATTR_DIRECTORY | URL_ATTR_LINK),
                    static_cast<unsigned long long>(find.GetLength64()));
      all += line;
    } while (more);
  }
  if (error) *error = GetLastError();
  return all;
}

TEST(FtpAdapter, CodesAndModes) {
  EXPECT_EQ(CFtpUrlConnection::MapCode(530), 1326u);
  EXPECT_EQ(CFtpUrlConnection::MapCode(421), 120u);
  EXPECT_EQ(CFtpUrlConnection::MapCode(552), 112u);
  EXPECT_EQ(CFtpUrlConnection::MapCode(999), 53u);
  EXPECT_EQ(CFtpUrlConnection::MapCode(550), 12u);
  EXPECT_EQ(CFtpUrlConnection::MapCode(426), 1226u);
  EXPECT_EQ(CFtpUrlConnection::MapCode(FTP_E_LISTING), 1392u);
  EXPECT_EQ(CFtpUrlConnection::MapCode(FTP_E_PATH_TOO_LONG), 206u);
  EXPECT_EQ(CFtpUrlConnection::UnixMode(URL_ATTR_READONLY | URL_ATTR_ARCHIVE), 0540u);
  EXPECT_EQ(CFtpUrlConnection::UnixMode(0x1ED0080), 0755u);
  EXPECT_EQ(CFtpUrlConnection::UnixMode(0x81A40000), 0644u);  // the type bits of a listing go
  EXPECT_EQ(CFtpUrlConnection::UnixMode(URL_ATTR_DIRECTORY), 01775u);  // a folder stays enterable
  EXPECT_EQ(CFtpUrlConnection::UnixMode(URL_ATTR_DIRECTORY | URL_ATTR_READONLY), 01550u);
}

TEST(FtpAdapter, ConnectFailuresAreThrownWithTheirCode) {
  auto server = FtpServer::Python();
  ASSERT_TRUE(server);
  try {
    ConnectUrl("127.0.0.1", "anna", "wrong", static_cast<u16>(server->Port()), URL_KIND_FTP, nullptr, nullptr);
    ADD_FAILURE();
  } catch (const CInternetException& e) {
    EXPECT_EQ(e.m_dwError, 86u);
  }
  try {
    ConnectUrl("127.0.0.1", "anna", "geheim", static_cast<u16>(FreeLoopbackPort()), URL_KIND_FTP, nullptr, nullptr);
    ADD_FAILURE();
  } catch (const CInternetException& e) {
    EXPECT_EQ(e.m_dwError, 1229u);
  }
  // A start folder: entered, relative paths below it.
  std::filesystem::create_directories(server->Root() + "/start");
  auto c = ConnectUrl("127.0.0.1", "anna", "geheim", static_cast<u16>(server->Port()), URL_KIND_FTP, "/start",
                      nullptr);
  std::string here;
  ASSERT_TRUE(c->GetCurrentDirString(here));
  EXPECT_EQ(here, "/start");
  EXPECT_TRUE(c->UploadMemory("f", "x", 1, 0, 0));
  EXPECT_EQ(ReadFile(server->Root() + "/start/f"), "x");
}

TEST(FtpAdapter, ABreakRecordEndsAConnectThatHangs) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listener, 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const int first = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::connect(first, reinterpret_cast<sockaddr*>(&a), sizeof a);
  UrlBreakHandle record;
  std::atomic<bool> done{false};
  std::thread breaker([&] {
    while (!done && record.Handle() == 0) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(200ms);  // the connect hangs by now
    EXPECT_TRUE(BreakUrlConnection(&record));
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(ConnectUrl("127.0.0.1", "anna", "pw", ntohs(a.sin_port), URL_KIND_FTP, nullptr, &record),
               CInternetException);
  done = true;
  breaker.join();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 150ms);
  EXPECT_LT(took, 3000ms);
  EXPECT_EQ(record.Kind(), 0);  // withdrawn
  ::close(first);
  ::close(listener);
}

TEST(FtpAdapter, OptionsAttributesAndLocalRefusals) {
  ScriptedFtp server([](ScriptedFtp& srv, const std::string& line) {
    if (line.rfind("SITE chmod ", 0) == 0)
      srv.Send(line.find("/ok") != std::string::npos ? "200 done\r\n" : "250 done otherwise\r\n");
    else if (!srv.Login(line))
      srv.Send("502 what\r\n");
  });
  auto c = ConnectUrl("127.0.0.1", "anna", "pw", static_cast<u16>(server.Port()), URL_KIND_FTP, nullptr, nullptr);
  EXPECT_TRUE(c->SetAttributes("/ok", URL_ATTR_READONLY | URL_ATTR_ARCHIVE));
  EXPECT_EQ(server.Commands().back(), "SITE chmod 540 /ok");
  EXPECT_FALSE(c->SetAttributes("/other", 0x1ED0080));  // only 200 counts
  EXPECT_EQ(server.Commands().back(), "SITE chmod 755 /other");
  // An existing local file with fail-if-exists: refused before the server hears of it.
  TempDir local("ftp-adapter");
  WriteFile(local / "there", "mine");
  const std::size_t heard = server.Commands().size();
  EXPECT_FALSE(c->DownloadFile("/f", (local / "there").c_str(), TRUE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(server.Commands().size(), heard);
  // Option sizes and ids.
  u32 word = 0;
  int size = 3;
  EXPECT_FALSE(c->GetOption(URL_OPT_BYTES_DONE, &word, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  u32 words[2];
  size = 4;
  EXPECT_FALSE(c->GetOption(URL_OPT_PROGRESS, words, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  size = 4;
  EXPECT_FALSE(c->GetOption(4711, &word, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  const u32 timeout = 500;
  EXPECT_TRUE(c->SetOption(URL_OPT_TIMEOUT, &timeout, 4, 0));
  size = 4;
  EXPECT_TRUE(c->GetOption(URL_OPT_TIMEOUT_B, &word, &size));
  EXPECT_EQ(word, 1000u);
  c->Close();
  size = 4;
  EXPECT_FALSE(c->GetOption(URL_OPT_KIND, &word, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int ends = 0;
  const auto count = [](void* context, const WIN32_FIND_DATAA* e) -> BOOL {
    if (!e) ++*static_cast<int*>(context);
    return TRUE;
  };
  EXPECT_FALSE(c->ReadDir("/", &ends, count, UrlDirFilter{}));
  EXPECT_EQ(ends, 1);
}

TEST(FtpAdapter, ReconnectTriesUntilTheServerIsBack) {
  const int port = FreeLoopbackPort();
  const std::string portVariant = "port=" + std::to_string(port);
  auto server = FtpServer::Python({portVariant});
  ASSERT_TRUE(server);
  auto c = Open(*server);
  server->Stop();
  const u32 two = 2;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->SetOption(URL_OPT_RECONNECT, &two, 4, 0));
  EXPECT_EQ(GetLastError(), 2250u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
  server = FtpServer::Python({portVariant});
  ASSERT_TRUE(server);
  EXPECT_TRUE(c->SetOption(URL_OPT_RECONNECT, &two, 4, 0));
  EXPECT_TRUE(c->UploadMemory("/after", "a", 1, 0, 0));
}

TEST(FtpAdapter, ABrokenDownloadIsNotRetriedAndTheConnectionWorksOn) {
  auto server = FtpServer::Python({"throttle"});
  ASSERT_TRUE(server);
  Put(server->Root() + "/slow", std::string(1 << 20, 's'));
  auto c = Open(*server, URL_CONNECT_RETRY | URL_CONNECT_RECONNECT);
  TempDir local("ftp-break");
  Put(local / "slow", "old");
  std::thread breaker([&] {
    const bool going = WaitUntil([&] {
      u64 done = 0;
      int size = 8;
      return c->IsBusy() && c->GetOption(URL_OPT_BYTES_DONE, &done, &size) && done > 0;
    });
    if (going) c->BreakIfBusy();
    else ADD_FAILURE() << "the download did not get under way";
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->DownloadFile("/slow", (local / "slow").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
  JoinWithin(breaker, "the breaker of the download");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5000ms);  // no retry of 16 seconds
  EXPECT_EQ(ReadFile(local / "slow"), "old");
  EXPECT_TRUE(c->UploadMemory("/after", "a", 1, 0, 0));
}

TEST(FtpAdapter, ListingsAsServersSendThem) {
  auto modes = FtpServer::Python({"modes"});
  ASSERT_TRUE(modes);
  auto m = Open(*modes);
  EXPECT_EQ(Listed(*m, "/"),
            "setgid:10:0 sticky:10:0 acl:10:0 selinux:0:12 big:0:5000000000");  // the pipe is no entry
  // A line that cannot be read, or an overlong one: the listing fails and delivers nothing.
  for (const char* variant : {"badline", "longline"}) {
    auto server = FtpServer::Python({variant});
    ASSERT_TRUE(server);
    auto c = Open(*server);
    DWORD error = 0;
    EXPECT_EQ(Listed(*c, "/", &error), "") << variant;
    EXPECT_EQ(error, 1392u) << variant;
  }
  // Lone LF line ends, and DOS lines.
  auto lf = FtpServer::Python({"lf"});
  ASSERT_TRUE(lf);
  Put(lf->Root() + "/a.txt", "a");
  Put(lf->Root() + "/b.log", "bb");
  auto l = Open(*lf);
  EXPECT_EQ(Listed(*l, "/"), "a.txt:0:1 b.log:0:2");
  int calls = 0;
  const auto count = [](void* context, const WIN32_FIND_DATAA* e) -> BOOL {
    if (e) {
      EXPECT_STREQ(e->cFileName, "a.txt");
      ++*static_cast<int*>(context);
    }
    return TRUE;
  };
  UrlDirFilter mask;
  mask.mask = "*.TXT";
  EXPECT_TRUE(l->ReadDir("/", &calls, count, mask));
  EXPECT_EQ(calls, 1);
  auto dos = FtpServer::Python({"dos"});
  ASSERT_TRUE(dos);
  Put(dos->Root() + "/docs/x", "x");
  Put(dos->Root() + "/a file.bin", std::string(3000, 'a'));
  auto d = Open(*dos);
  EXPECT_EQ(Listed(*d, "/"), "a file.bin:0:3000 docs:10:0");
}

TEST(FtpAdapter, LinksResolvedByEnteringTheirTargets) {
  auto server = FtpServer::Python({"links"});
  ASSERT_TRUE(server);
  Put(server->Root() + "/real/inner.txt", "inner");
  auto plain = Open(*server);
  EXPECT_EQ(Listed(*plain, "/"), "tofolder:200:4 tofile:200:4 slash:200:4 broken:200:4");
  auto c = Open(*server, URL_CONNECT_FTP_LINKS);
  EXPECT_EQ(Listed(*c, "/"), "tofolder:210:0 tofile:200:5 slash:210:0 broken:200:4");
}

}  // namespace
