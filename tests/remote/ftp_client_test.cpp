// The FTP client against real servers: login, replies, paths, transfers, data connections, breaks.
#include "remote/ftp/ftp_client.h"
#include "remote/ftp/ftp_internal.h"
#include "tests/support/files.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/scripted_ftp.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <sstream>
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

TEST(FtpClient, LogsInToVsftpdAndUsesItsTwoArgumentMdtm) {
  if (!FtpServer::VsftpdMissing().empty()) GTEST_SKIP() << FtpServer::VsftpdMissing();
  auto server = FtpServer::Vsftpd();
  ASSERT_TRUE(server);
  auto s = Login(*server);
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->flags & FTP_FEAT_MFMT);
  EXPECT_TRUE(s->flags & FTP_FEAT_EPSV);
  EXPECT_EQ(FtpUploadMemory(s.get(), "/pub/f", "data", 4), 226);
  EXPECT_EQ(FtpSetFileTime(s.get(), "/pub/f", 1600000000), 213);
  EXPECT_EQ(MTime(server->Root() + "/f"), 1600000000);
  EXPECT_EQ(Names(s.get(), "/pub"), "f");
  // vsftpd lists a missing folder as empty: the client finds out that it is none.
  int code = 0;
  EXPECT_EQ(Names(s.get(), "/pub/missing", &code), "");
  EXPECT_EQ(code, 550);
  EXPECT_EQ(Names(s.get(), "/pub/f", &code), "");  // a file is no folder
  EXPECT_EQ(code, 550);
}

TEST(FtpClient, AServerWithoutFeatAndAGuestLogin) {
  auto server = FtpServer::Python({"nofeat", "guest"});
  ASSERT_TRUE(server);
  // "anna" is refused at TYPE I: with a user name given the login ends with 0.
  int code = -1;
  EXPECT_FALSE(Login(*server, 0, &code));
  EXPECT_EQ(code, 0);
  // Without a user name: one try as guest.
  auto s = FtpConnect("127.0.0.1", "", "", static_cast<u16>(server->Port()), 0, 5000, &code);
  ASSERT_TRUE(s) << code;
  EXPECT_EQ(s->flags & (FTP_FEAT_MDTM | FTP_FEAT_SIZE | FTP_FEAT_EPRT | FTP_FEAT_EPSV | FTP_FEAT_MFMT), 0u);
  Put(server->Root() + "/f", std::string(3000, 'x'));
  Sink sink;
  EXPECT_EQ(FtpDownloadProc(s.get(), "/f", &sink, Sink::Write), 226);  // no SIZE: the end of the data
  EXPECT_EQ(sink.data.size(), 3000u);
  EXPECT_FALSE(FtpConnect("127.0.0.1", "", "", static_cast<u16>(server->Port()), FTP_NO_GUEST, 5000, &code));
}

TEST(FtpClient, MultiLineRepliesStayPairedWithTheirCommands) {
  auto server = FtpServer::Python({"multiline"});
  ASSERT_TRUE(server);
  auto s = Login(*server);
  ASSERT_TRUE(s);
  EXPECT_EQ(FtpMkdir(s.get(), "/refuse"), 550);
  EXPECT_EQ(FtpMkdir(s.get(), "/made"), 257);
  EXPECT_EQ(FtpUploadMemory(s.get(), "/made/f", "abc", 3), 226);  // 226- after every transfer
  std::string dir;
  EXPECT_EQ(FtpPwd(s.get(), &dir), 257);
  EXPECT_EQ(dir, "/");
  EXPECT_EQ(FtpCwd(s.get(), "/made"), 250);
  EXPECT_EQ(s->currentDir, "/made");
}

TEST(FtpClient, RepliesAcrossSegmentsAndWithLoneLineFeeds) {
  ScriptedFtp server(
      [](ScriptedFtp& srv, const std::string& line) {
        if (line == "PWD") {
          srv.Send("257 \"/a \"\"quoted\"\" dir\" is");
          std::this_thread::sleep_for(50ms);
          srv.Send(" current\n");
        } else if (line.rfind("MKD ", 0) == 0) {
          srv.Send("550-No\n it is refused\n550 No.\r\n");
        } else if (line.rfind("SITE ", 0) == 0) {
          srv.Send("250 done, but not as asked\r\n");
        } else if (!srv.Login(line)) {
          srv.Send("502 what\r\n");
        }
      },
      "220-Welcome\r\n2 users\r\n220 ready\r\n");
  auto s = FtpConnect("127.0.0.1", "anna", "pw", static_cast<u16>(server.Port()), 0, 5000, nullptr);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->currentDir, "/a \"quoted\" dir");
  EXPECT_EQ(FtpMkdir(s.get(), "x"), 550);
  EXPECT_EQ(FtpChmod(s.get(), "x", 0644), 250);
  std::string dir;
  EXPECT_EQ(FtpPwd(s.get(), &dir), 257);
  EXPECT_EQ(dir, "/a \"quoted\" dir");
  const auto commands = server.Commands();
  EXPECT_EQ(commands[commands.size() - 3], "MKD /a \"quoted\" dir/x");
  EXPECT_EQ(commands[commands.size() - 2], "SITE chmod 644 /a \"quoted\" dir/x");
}

TEST(FtpClient, PathsAreBuiltWholeOrNotAtAll) {
  FtpSession s;
  s.currentDir = "/home/x";
  std::string line;
  EXPECT_EQ(ftpint::BuildCommand(s, "CWD", "./sub/", line, true), 0);
  EXPECT_EQ(line, "CWD /home/x/sub");
  EXPECT_EQ(ftpint::BuildCommand(s, "DELE", "dir/", line), 0);
  EXPECT_EQ(line, "DELE /home/x/dir/");
  EXPECT_EQ(ftpint::BuildCommand(s, "DELE", "/abs/a\\b", line), 0);
  EXPECT_EQ(line, "DELE /abs/a\\b");  // a backslash is part of a name
  EXPECT_EQ(ftpint::BuildCommand(s, "DELE", "\xc3\xbc", line), 0);
  EXPECT_EQ(line, "DELE /home/x/\xc3\xbc");  // UTF-8 as it is
  s.flags = FTP_RAW_NAMES;
  EXPECT_EQ(ftpint::BuildCommand(s, "DELE", "\xc3\xbc", line), 0);
  EXPECT_EQ(line, "DELE /home/x/\xfc");  // Latin-1 on the wire
  EXPECT_EQ(ftpint::BuildCommand(s, "DELE", "\xe2\x82\xac", line), FTP_E_BAD_NAME);  // no euro in Latin-1
  line = "unchanged";
  EXPECT_EQ(ftpint::BuildCommand(s, "DELE", ("/" + std::string(5000, 'a')).c_str(), line), FTP_E_PATH_TOO_LONG);
  EXPECT_EQ(line, "unchanged");
  EXPECT_EQ(ftpint::BuildCommand(s, "DELE", "a\r\nDELE b", line), FTP_E_BAD_NAME);
  FtpSetTimeout(&s, 500);
  EXPECT_EQ(FtpGetTimeout(&s), 1000);
  FtpSetTimeout(&s, 300000);
  EXPECT_EQ(FtpGetTimeout(&s), 200000);
}

TEST(FtpClient, Latin1ServersGetAndGiveLatin1Names) {
  ScriptedFtp server([](ScriptedFtp& srv, const std::string& line) {
    static std::string port;
    if (line.rfind("PORT ", 0) == 0) {
      port = line.substr(5);
      srv.Send("200 ok\r\n");
    } else if (line.rfind("LIST ", 0) == 0) {
      srv.Send("150 here\r\n");
      ScriptedFtp::SendData(port, 0x7F000001, "drwxr-xr-x 2 0 0 0 Jan 05  2020 .\r\n"
                                              "-rw-r--r-- 1 0 0 1 Jan 05  2020 \xe4.txt\r\n");
      srv.Send("226 done\r\n");
    } else if (line.rfind("DELE ", 0) == 0) {
      srv.Send("250 gone\r\n");
    } else if (!srv.Login(line)) {
      srv.Send("502 what\r\n");
    }
  });
  auto s = FtpConnect("127.0.0.1", "anna", "pw", static_cast<u16>(server.Port()), FTP_RAW_NAMES, 5000, nullptr);
  ASSERT_TRUE(s);
  EXPECT_EQ(Names(s.get(), "/"), "\xc3\xa4.txt");
  EXPECT_EQ(FtpRemove(s.get(), "/\xc3\xbc.txt"), 250);
  EXPECT_EQ(server.Commands().back(), "DELE /\xfc.txt");
}

TEST(FtpClient, DataConnectionsActiveAndPassive) {
  auto server = FtpServer::Python();
  ASSERT_TRUE(server);
  auto s = Login(*server);
  ASSERT_TRUE(s);
  // Active: each transfer listens on the next port; a port that is taken is passed over.
  EXPECT_EQ(FtpUploadMemory(s.get(), "/a", "1", 1), 226);
  const int first = s->listenPort;
  EXPECT_EQ(FtpUploadMemory(s.get(), "/b", "2", 1), 226);
  EXPECT_EQ(s->listenPort, first == 63487 ? 63232 : first + 1);
  const int next = s->listenPort == 63487 ? 63232 : s->listenPort + 1;
  const SockAddr loop = SockIpv4(0x7F000001);
  auto taken = SockConnect(&loop, static_cast<u16>(next), 0, nullptr, true, 0);
  EXPECT_EQ(FtpUploadMemory(s.get(), "/c", "3", 1), 226);
  if (taken) {
    EXPECT_NE(s->listenPort, next);
  }
  // Passive: connects to the control connection's host whatever PASV names.
  auto pasv = FtpServer::Python({"pasv10"});
  ASSERT_TRUE(pasv);
  auto p = Login(*pasv, FTP_PASSIVE);
  ASSERT_TRUE(p);
  EXPECT_EQ(FtpUploadMemory(p.get(), "/f", "passive", 7), 226);
  EXPECT_EQ(ReadFile(pasv->Root() + "/f"), "passive");
  // A server that refuses PORT: passive, from then on.
  auto noport = FtpServer::Python({"noport"});
  ASSERT_TRUE(noport);
  auto n = Login(*noport);
  ASSERT_TRUE(n);
  EXPECT_EQ(FtpUploadMemory(n.get(), "/f", "x", 1), 226);
  EXPECT_TRUE(n->flags & FTP_PASSIVE);
  EXPECT_EQ(FtpUploadMemory(n.get(), "/g", "y", 1), 226);
  EXPECT_EQ(ReadFile(noport->Root() + "/g"), "y");
}

// An IPv6 server that announces them gets EPRT and EPSV; nothing falls back to passive.
TEST(FtpClient, Ipv6ServersGetEprtAndEpsv) {
  auto server = FtpServer::Python({"v6"});
  if (!server) GTEST_SKIP() << "no IPv6 loopback";
  for (const u32 flags : {0u, static_cast<u32>(FTP_PASSIVE)}) {
    auto s = FtpConnect("::1", "anna", "geheim", static_cast<u16>(server->Port()), flags, 5000, nullptr);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->flags & (FTP_FEAT_EPRT | FTP_FEAT_EPSV), static_cast<u32>(FTP_FEAT_EPRT | FTP_FEAT_EPSV));
    EXPECT_EQ(FtpUploadMemory(s.get(), "/six", "over v6", 7), 226);
    EXPECT_EQ(s->flags & FTP_PASSIVE, flags);
    char buffer[16] = {};
    int stored = 0;
    EXPECT_EQ(FtpDownloadMemory(s.get(), "/six", buffer, sizeof buffer, &stored), 226);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(stored)), "over v6");
  }
}

TEST(FtpClient, ActiveModeTakesDataOnlyFromTheServer) {
  ScriptedFtp server([](ScriptedFtp& srv, const std::string& line) {
    static std::string port;
    if (line.rfind("PORT ", 0) == 0) {
      port = line.substr(5);
      srv.Send("200 ok\r\n");
    } else if (line.rfind("RETR ", 0) == 0) {
      srv.Send("150 here\r\n");
      ScriptedFtp::SendData(port, 0x7F000002, "EVIL");  // another local process, first
      ScriptedFtp::SendData(port, 0x7F000001, "GOOD");
      srv.Send("226 done\r\n");
    } else if (!srv.Login(line)) {
      srv.Send("502 what\r\n");
    }
  });
  auto s = FtpConnect("127.0.0.1", "anna", "pw", static_cast<u16>(server.Port()), 0, 5000, nullptr);
  ASSERT_TRUE(s);
  Sink sink;
  EXPECT_EQ(FtpDownloadProc(s.get(), "/f", &sink, Sink::Write), 226);
  EXPECT_EQ(sink.data, "GOOD");
}

TEST(FtpClient, ABreakDuringAFileUploadRaisesNoSignal) {
  auto server = FtpServer::Python();
  ASSERT_TRUE(server);
  TempDir local("ftp-sigpipe");
  WriteDenseFile(local / "big", 64 << 20);
  // The break shuts the data socket down while the file is sent: a write then fails with EPIPE,
  // which must not end the program.
  for (int i = 0; i < 4; ++i) {
    auto s = Login(*server);
    ASSERT_TRUE(s);
    std::atomic<bool> done{false};
    std::thread breaker([&] {
      while (s->bytesDone.load() == 0 && !done) std::this_thread::yield();
      FtpBreak(s.get());
    });
    EXPECT_EQ(FtpUploadFile(s.get(), "/big", (local / "big").c_str()), FTP_E_TIMEOUT);
    done = true;
    breaker.join();
  }
  EXPECT_FALSE(Exists(server->Root() + "/big"));
}

// A break while the server is still to connect ends the control connection; the temporary
// file the server may have made for the STOR is removed over a new one.
TEST(FtpClient, ABreakBeforeTheDataConnectionLeavesNoTemporaryFile) {
  ScriptedFtp server([](ScriptedFtp& srv, const std::string& line) {
    if (srv.Login(line)) return;
    if (line.rfind("PORT ", 0) == 0) srv.Send("200 ok\r\n");
    else if (line.rfind("DELE ", 0) == 0) srv.Send("250 gone\r\n");
    else if (line.rfind("STOR ", 0) != 0) srv.Send("502 what\r\n");
  });
  auto s = FtpConnect("127.0.0.1", "anna", "pw", static_cast<u16>(server.Port()), FTP_RECONNECT, 30000, nullptr);
  ASSERT_TRUE(s);
  std::thread breaker([&] {
    EXPECT_TRUE(WaitUntil([&] { return s->state.load() == FTP_STATE_ACTIVE_WAIT; }))
        << "the upload did not wait for the server's connection";
    FtpBreak(s.get());
  });
  EXPECT_EQ(FtpUploadMemory(s.get(), "/f", "data", 4), FTP_E_TIMEOUT);
  JoinWithin(breaker, "the breaker of the upload");
  std::string stored, deleted;
  for (const std::string& line : server.Commands()) {
    if (line.rfind("STOR ", 0) == 0) stored = line.substr(5);
    if (line.rfind("DELE ", 0) == 0) deleted = line.substr(5);
  }
  EXPECT_FALSE(stored.empty());
  EXPECT_EQ(deleted, stored);
}

TEST(FtpClient, TransfersEndWholeOrFailAndKeepOldFiles) {
  auto server = FtpServer::Python({"short"});
  ASSERT_TRUE(server);
  Put(server->Root() + "/k", std::string(1000, 'k'));
  auto s = Login(*server);
  ASSERT_TRUE(s);
  // SIZE said 1000, the data ended after 600 with a 226.
  Sink sink;
  EXPECT_EQ(FtpDownloadProc(s.get(), "/k", &sink, Sink::Write), 426);
  EXPECT_EQ(FtpLastText(s.get()), "connection closed; transfer aborted");
  EXPECT_EQ(sink.signals, std::vector<int>{-1});
  TempDir local("ftp-keep");
  Put(local / "k", "old");
  auto again = Login(*server);
  ASSERT_TRUE(again);
  EXPECT_EQ(FtpDownloadFile(again.get(), "/missing", (local / "k").c_str()), 550);
  EXPECT_EQ(ReadFile(local / "k"), "old");
  EXPECT_EQ(FtpDownloadFile(again.get(), "/k", (local / "k").c_str()), 426);
  EXPECT_EQ(ReadFile(local / "k"), "old");
  EXPECT_EQ(Listing(local.path()), "k");  // no temporary file left behind

  auto plain = FtpServer::Python();
  ASSERT_TRUE(plain);
  auto p = Login(*plain);
  ASSERT_TRUE(p);
  // Empty files both ways; an upload larger than announced goes whole.
  EXPECT_EQ(FtpUploadMemory(p.get(), "/empty", "", 0), 226);
  EXPECT_TRUE(Exists(plain->Root() + "/empty"));
  EXPECT_EQ(FtpDownloadFile(p.get(), "/empty", (local / "e").c_str()), 226);
  EXPECT_EQ(ReadFile(local / "e"), "");
  FtpSetTransferSize(p.get(), 10);
  struct Source {
    int left = 100;
    static int Read(void* c, BYTE* b, int size) {
      auto* src = static_cast<Source*>(c);
      if (!b) return 0;
      const int n = std::min(size, src->left);
      std::memset(b, 'u', static_cast<std::size_t>(n));
      src->left -= n;
      return n;
    }
  } source;
  EXPECT_EQ(FtpUploadProc(p.get(), "/more", &source, Source::Read), 226);
  EXPECT_EQ(ReadFile(plain->Root() + "/more"), std::string(100, 'u'));
  // Sizes beyond 4 GiB come through SIZE whole.
  const std::string sparse = plain->Root() + "/sparse";
  { std::ofstream(sparse, std::ios::binary); }
  std::filesystem::resize_file(sparse, 3ull << 30);
  struct Refuse {
    static int Write(void*, const BYTE* b, int n) { return b ? 0 : n; }
  };
  EXPECT_EQ(FtpDownloadProc(p.get(), "/sparse", nullptr, Refuse::Write), FTP_E_LOCAL_WRITE);
  u64 done = 0, total = 0;
  FtpGetProgress(p.get(), &done, &total);
  EXPECT_EQ(total, 3ull << 30);
  std::string dir;
  EXPECT_EQ(FtpPwd(p.get(), &dir), 257);  // in step after the abort
}

// Servers that rename onto no existing name, or not at all: the file on the server is never
// lost, and nothing of the upload stays behind when it cannot take its name.
TEST(FtpClient, ARefusedRenameNeverLosesTheServersFile) {
  auto none = FtpServer::Python({"norename"});
  ASSERT_TRUE(none);
  Put(none->Root() + "/keep.txt", "old");
  auto s = Login(*none);
  ASSERT_TRUE(s);
  EXPECT_EQ(FtpUploadMemory(s.get(), "/keep.txt", "new", 3), 553);
  EXPECT_EQ(FtpLastText(s.get()), "Rename refused.");
  EXPECT_EQ(FtpUploadMemory(s.get(), "/fresh.txt", "new", 3), 553);
  EXPECT_EQ(Contents(none->Root()), "keep.txt=old");

  // Onto an existing name only: the old file goes aside, the new one takes its name.
  auto over = FtpServer::Python({"noreplace", "journal"});
  ASSERT_TRUE(over);
  Put(over->Root() + "/keep.txt", "old");
  auto o = Login(*over);
  ASSERT_TRUE(o);
  EXPECT_EQ(FtpUploadMemory(o.get(), "/keep.txt", "new", 3), 226);
  EXPECT_EQ(Contents(over->Root()), "keep.txt=new");
  const std::string journal = over->Journal();
  EXPECT_EQ(journal.find("DELE /keep.txt\n"), std::string::npos) << journal;

  // The new file cannot follow once the old one is aside: the old one comes back.
  auto back = FtpServer::Python({"noreplace", "rntofail=3"});
  ASSERT_TRUE(back);
  Put(back->Root() + "/keep.txt", "old");
  auto b = Login(*back);
  ASSERT_TRUE(b);
  EXPECT_EQ(FtpUploadMemory(b.get(), "/keep.txt", "new", 3), 553);
  EXPECT_EQ(Contents(back->Root()), "keep.txt=old");
}

// A download is whole only with the size known before it: without SIZE, the listing's.
TEST(FtpClient, WithoutSizeADownloadMustHaveTheListedSize) {
  auto server = FtpServer::Python({"nofeat", "short"});
  ASSERT_TRUE(server);
  Put(server->Root() + "/k", std::string(1000, 'k'));
  TempDir local("ftp-listed");
  Put(local / "k", "old");
  auto s = Login(*server);
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->flags & FTP_FEAT_SIZE);
  FtpSetDownloadSize(s.get(), 1000);
  EXPECT_EQ(FtpDownloadFile(s.get(), "/k", (local / "k").c_str()), 426);
  EXPECT_EQ(ReadFile(local / "k"), "old");
  EXPECT_EQ(Listing(local.path()), "k");
  FtpSetDownloadSize(s.get(), 100);
  Sink sink;
  EXPECT_EQ(FtpDownloadProc(s.get(), "/k", &sink, Sink::Write), FTP_E_CHANGED);
  EXPECT_EQ(sink.signals, std::vector<int>{-1});
  // The size holds for one download; without one, nothing tells that this one is short.
  EXPECT_EQ(FtpDownloadFile(s.get(), "/k", (local / "k").c_str()), 226);
  EXPECT_EQ(ReadFile(local / "k"), std::string(600, 'k'));
}

// Servers that take "-al" for a name (pyftpdlib as it ships) are listed with "LIST path", and
// asked so for the rest of the session.
TEST(FtpClient, AServerThatRefusesListOptionsIsListedWithout) {
  auto server = FtpServer::Python({"journal"});
  ASSERT_TRUE(server);
  Put(server->Root() + "/up/a.txt", "A");
  auto s = Login(*server);
  ASSERT_TRUE(s);
  EXPECT_EQ(Names(s.get(), "/up"), "a.txt");
  EXPECT_EQ(Names(s.get(), "/up"), "a.txt");
  int code = 0;
  Names(s.get(), "/missing", &code);
  EXPECT_EQ(code, 550);
  std::string lists;
  std::istringstream journal(server->Journal());
  for (std::string line; std::getline(journal, line);)
    if (line.rfind("LIST", 0) == 0) lists += line + "|";
  EXPECT_EQ(lists, "LIST -al /up|LIST /up|LIST /up|LIST /missing|");
}

// One deadline (the session's time-out) and one bound for all the lines of a reply: a server that
// never ends one fails the connection with the time-out error.
TEST(FtpClient, AReplyThatNeverEndsFailsInTime) {
  // Sends a line every 100 ms once started, for ten seconds at most.
  struct Drip {
    explicit Drip(ScriptedFtp& server)
        : thread([this, &server] {
            for (int i = 0; i < 100 && !stop; ++i) {
              std::this_thread::sleep_for(100ms);
              if (const std::string* l = line.load()) server.Send(*l);
            }
          }) {}
    ~Drip() {
      stop = true;
      thread.join();
    }
    std::atomic<bool> stop{false};
    std::atomic<const std::string*> line{nullptr};
    std::thread thread;
  };
  const auto connect = [](const ScriptedFtp& server, int timeoutMs) {
    int code = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FtpConnect("127.0.0.1", "anna", "pw", static_cast<u16>(server.Port()), 0, timeoutMs, &code));
    EXPECT_EQ(code, FTP_E_TIMEOUT);
    return std::chrono::steady_clock::now() - start;
  };
  const std::string more = "220-and more\r\n", feature = " EPSV\r\n";
  {
    ScriptedFtp greeting([](ScriptedFtp&, const std::string&) {}, "220-Welcome\r\n");
    Drip drip(greeting);
    drip.line = &more;
    EXPECT_LT(connect(greeting, 1000), 3000ms);
  }
  {
    std::atomic<Drip*> started{nullptr};
    ScriptedFtp features([&](ScriptedFtp& srv, const std::string& line) {
      if (line == "FEAT") {
        srv.Send("211-Features\r\n");
        started.load()->line = &feature;
      } else if (!srv.Login(line)) {
        srv.Send("502 what\r\n");
      }
    });
    Drip drip(features);
    started = &drip;
    EXPECT_LT(connect(features, 1000), 3000ms);
  }
  // Lines faster than any deadline: the bound ends the reply long before the time-out.
  std::string flood;
  while (flood.size() < (1u << 20)) flood += "220-" + std::string(96, 'x') + "\r\n";
  ScriptedFtp greeting([](ScriptedFtp&, const std::string&) {}, flood);
  EXPECT_LT(connect(greeting, 30000), 5000ms);
}

TEST(FtpClient, ABreakStopsAStalledReplyAndAThrottledDownload) {
  ScriptedFtp silent([](ScriptedFtp& srv, const std::string& line) {
    if (line.rfind("MKD ", 0) != 0 && !srv.Login(line)) srv.Send("502 what\r\n");
  });
  auto s = FtpConnect("127.0.0.1", "anna", "pw", static_cast<u16>(silent.Port()), 0, 30000, nullptr);
  ASSERT_TRUE(s);
  std::thread breaker([&] {
    std::this_thread::sleep_for(200ms);
    FtpBreak(s.get());
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FtpMkdir(s.get(), "x"), FTP_E_TIMEOUT);
  EXPECT_EQ(FtpLastText(s.get()), "user break");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
  breaker.join();

  auto server = FtpServer::Python({"throttle"});
  ASSERT_TRUE(server);
  Put(server->Root() + "/slow", std::string(1 << 20, 's'));
  auto t = Login(*server);
  ASSERT_TRUE(t);
  std::thread stopper([&] {
    EXPECT_TRUE(WaitUntil([&] { return t->bytesDone.load() > 0; })) << "the download did not get under way";
    FtpBreak(t.get());
  });
  Sink sink;
  EXPECT_EQ(FtpDownloadProc(t.get(), "/slow", &sink, Sink::Write), FTP_E_TIMEOUT);
  JoinWithin(stopper, "the breaker of the download");
  EXPECT_LT(sink.data.size(), std::size_t{1} << 20);
  EXPECT_EQ(sink.signals, std::vector<int>{-1});
  // ABOR went out once and the replies are read: the next command gets its own.
  std::string dir;
  EXPECT_EQ(FtpPwd(t.get(), &dir), 257);
  EXPECT_EQ(dir, "/");
  EXPECT_EQ(FtpMkdir(t.get(), "/after"), 257);
}

TEST(FtpClient, ABreakEndsAHangingLoginConnect) {
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
  std::atomic<FtpSession*> early{nullptr};
  std::thread breaker([&] {
    if (!WaitUntil([&] { return early.load() != nullptr; })) {
      ADD_FAILURE() << "the connect did not tell its session";
      return;
    }
    std::this_thread::sleep_for(200ms);
    FtpBreak(early.load());
  });
  int code = 0;
  const auto start = std::chrono::steady_clock::now();
  auto s = FtpConnect("127.0.0.1", "anna", "pw", ntohs(a.sin_port), 0, 30000, &code,
                      [&](FtpSession* session) {
                        if (session) early = session;
                      });
  JoinWithin(breaker, "the breaker of the login");
  EXPECT_FALSE(s);
  EXPECT_EQ(code, FTP_E_CONNECT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3000ms);
  ::close(first);
  ::close(listener);
}

}  // namespace
