// The communication library: its stand-bys, loading it, connecting, host keys, logins and SFTP calls against sshd.
#include "lib/text/enc.h"
#include "remote/ssh/comm_lib.h"
#include "remote/connect_url.h"
#include "tests/sftp/sftp_fixture.h"
#include "tests/support/files.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace kpwtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A port on which something listens but never answers: connects get through, SSH never starts.
class SilentListener {
 public:
  SilentListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(m_fd, 8) == 0 &&
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      m_port = ntohs(a.sin_port);
  }
  ~SilentListener() { ::close(m_fd); }
  int Port() const { return m_port; }

 private:
  int m_fd = -1;
  int m_port = -1;
};

// A port where nothing listens.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

CInternetException ConnectFailure(const char* password, int port, UrlBreakHandle* record = nullptr) {
  try {
    ConnectUrl("127.0.0.1", SshServer::kUser, password, static_cast<u16>(port), URL_KIND_SFTP, "", record);
  } catch (const CInternetException& e) {
    return e;
  }
  return CInternetException(0);
}

// ---- without a server ----------------------------------------------------------------------------

TEST(CommLib, StandBysAnswerUntilTheLibraryIsLoaded) {
  CommLibFunctions& lib = CommLib();
  EXPECT_EQ(lib.SftpCreate(), 0u);
  EXPECT_EQ(lib.SshCreate(), 0u);
  EXPECT_EQ(lib.TelnetCreate(), 0u);
  char text[64];
  EXPECT_EQ(lib.SftpErrorText(1, 2, text, sizeof text), 32);
  EXPECT_STREQ(text, "libTavrinCommLib.so isn't loaded");
  char small[10];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(lib.SshErrorText(0, 0, small, sizeof small), 32);
  EXPECT_STREQ(small, "libTavrin");
  SftpAttributes attrs{};
  EXPECT_EQ(lib.SftpStat(1, "/", &attrs), 15);
  EXPECT_EQ(lib.SftpConnect(1, "h", 22, "u", "p", 0), 15);
  u64 total = 0;
  EXPECT_EQ(lib.SftpProgress(1, &total), 15u);
  EXPECT_EQ(lib.SftpBreak(1), 0);
  EXPECT_EQ(lib.SshRead(1, text, sizeof text), 24);
  EXPECT_EQ(lib.SshBreak(1), 0);
  EXPECT_EQ(lib.RawRead(1, text, sizeof text), 10);
  EXPECT_EQ(lib.TelnetWrite(1, "x", 1), 10);
}

TEST(CommLib, AMissingLibraryKeepsTheStandBysAndSftpConnectsFailWith1154) {
  TempDir dir("commlib-missing");
  UseBuiltCommLib(dir.path(), false);
  const std::vector<std::string> places = CommLibCandidates();
  ASSERT_EQ(places.size(), 3u);
  ASSERT_FALSE(Exists(places[0])) << "a library beside the test program would be found";
  EXPECT_EQ(CommLibLoad(), 0);
  EXPECT_EQ(CommLibLoadedPath(), "");
  EXPECT_EQ(CommLib().SftpCreate(), 0u);
  const CInternetException e = ConnectFailure("x", 22);
  EXPECT_EQ(e.m_dwError, 1154u);
  EXPECT_NE(e.Text().find("libTavrinCommLib.so"), std::string::npos) << e.Text();
}

TEST(CommLib, TheLibraryIsFoundBesideTheProgramByNameAndThroughTheRegistryAndLoadsCounted) {
  TempDir dir("commlib-present");
  UseBuiltCommLib(dir.path());
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  const std::string program(self, static_cast<std::size_t>(n));
  EXPECT_EQ(CommLibCandidates(),
            (std::vector<std::string>{program.substr(0, program.rfind('/')) + "/libTavrinCommLib.so",
                                      "libTavrinCommLib.so", dir / "Tools/libTavrinCommLib.so"}));

  ASSERT_EQ(CommLibLoad(), 1);
  EXPECT_EQ(CommLibLoadedPath(), dir / "Tools/libTavrinCommLib.so");
  CommLibFunctions& lib = CommLib();
  const u32 a = lib.SftpCreate(), b = lib.SftpCreate();
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, a);
  EXPECT_NE(lib.SshCreate(), 0u);
  // Raw and Telnet are not in the library: their stand-bys stay.
  EXPECT_EQ(lib.RawCreate(), 0u);
  char text[8];
  EXPECT_EQ(lib.TelnetRead(1, text, sizeof text), 10);

  // Nothing listens: refused. A handle is connected once.
  EXPECT_EQ(lib.SftpConnect(a, "127.0.0.1", ClosedPort(), "u", "p", 2000), 19);
  EXPECT_EQ(lib.SftpConnect(a, "127.0.0.1", ClosedPort(), "u", "p", 2000), 17);
  EXPECT_EQ(lib.SftpIsConnected(a), 0);
  // Closed handles: Break and Progress are harmless, everything else says so.
  EXPECT_EQ(lib.SftpClose(a), 0);
  EXPECT_EQ(lib.SftpBreak(a), 0);
  u64 total = 7;
  EXPECT_EQ(lib.SftpProgress(a, &total), 0u);
  EXPECT_EQ(total, 0u);
  EXPECT_NE(lib.SftpClose(a), 0);
  SftpAttributes attrs{};
  EXPECT_NE(lib.SftpStat(a, "/", &attrs), 0);
  // Handles of one kind are no handles of the other.
  EXPECT_NE(lib.SshClose(b), 0);
  EXPECT_EQ(lib.SftpClose(b), 0);

  // Counted: the second load changes nothing, the last unload brings the stand-bys back.
  EXPECT_EQ(CommLibLoad(), 1);
  CommLibUnload();
  EXPECT_NE(CommLib().SftpCreate(), 0u);
  CommLibUnload();
  EXPECT_EQ(CommLib().SftpCreate(), 0u);
  EXPECT_EQ(CommLibLoadedPath(), "");
}

// ---- against sshd --------------------------------------------------------------------------------

using CommLibServer = SshTest;

TEST_F(CommLibServer, ConnectResults) {
  CommLibFunctions& lib = CommLib();
  const u32 h = SftpHandle();
  ASSERT_NE(h, 0u);
  EXPECT_EQ(lib.SftpIsConnected(h), 1);
  EXPECT_EQ(lib.SftpClose(h), 0);

  // A refused login, also through ConnectUrl; the password is never cut.
  ASSERT_GT(std::strlen(SshServer::kPassword), 63u);
  const std::string cut(SshServer::kPassword, 63);
  const u32 refused = lib.SftpCreate();
  EXPECT_EQ(lib.SftpConnect(refused, "127.0.0.1", server->Port(), SshServer::kUser, cut.c_str(), 10000), 20);
  lib.SftpClose(refused);
  EXPECT_EQ(ConnectFailure("falsch", server->Port()).m_dwError, 2202u);

  // Something that never speaks: the time-out.
  SilentListener silent;
  const u32 waiting = lib.SftpCreate();
  const auto start = Clock::now();
  EXPECT_EQ(lib.SftpConnect(waiting, "127.0.0.1", silent.Port(), "u", "p", 1000), 9);
  EXPECT_GE(MillisSince(start), 900);
  EXPECT_LT(MillisSince(start), 5000);
  lib.SftpClose(waiting);
  EXPECT_EQ(ConnectFailure("x", ClosedPort()).m_dwError, 1229u);
}

TEST_F(CommLibServer, ABreakFromAnotherThreadEndsAHangingConnect) {
  SilentListener silent;
  CommLibFunctions& lib = CommLib();
  const u32 h = lib.SftpCreate();
  std::thread breaker([&] {
    std::this_thread::sleep_for(200ms);
    lib.SftpBreak(h);
  });
  const auto start = Clock::now();
  EXPECT_EQ(lib.SftpConnect(h, "127.0.0.1", silent.Port(), "u", "p", 20000), 10);
  EXPECT_LT(MillisSince(start), 3000);
  breaker.join();
  lib.SftpClose(h);

  // The same through ConnectUrl's break record: it throws soon, and the record is withdrawn.
  UrlBreakHandle record;
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done.load() && record.Handle() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(100ms);
    BreakUrlConnection(&record);
  });
  const auto again = Clock::now();
  const CInternetException e = ConnectFailure("x", silent.Port(), &record);
  done = true;
  canceller.join();
  EXPECT_EQ(e.m_dwError, 1229u);
  EXPECT_LT(MillisSince(again), 3000);
  EXPECT_EQ(record.Handle(), 0u);
}

TEST_F(CommLibServer, NewHostsAreRememberedAndAChangedKeyIsRefusedInWords) {
  CommLibFunctions& lib = CommLib();
  const u32 first = SftpHandle();
  ASSERT_NE(first, 0u);
  lib.SftpClose(first);
  const std::string remembered = ReadFile(server->KnownHosts());
  const std::string hostKey = server->HostKeyLine();
  // "[127.0.0.1]:port ssh-ed25519 KEY": the key of the server, under its address and port.
  const std::string keyOnly = hostKey.substr(0, hostKey.rfind(' '));
  EXPECT_NE(remembered.find(keyOnly), std::string::npos) << remembered << "\n" << hostKey;
  const u32 second = SftpHandle();
  EXPECT_NE(second, 0u);
  lib.SftpClose(second);

  // Another key under the same name: refused, the file left alone.
  const std::string other = server->Folder() + "/other_ed25519";
  ASSERT_EQ(RunProgram({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", other}), 0);
  const std::string otherKey = ReadFile(other + ".pub");
  const std::string changed =
      "[127.0.0.1]:" + std::to_string(server->Port()) + " " + otherKey.substr(0, otherKey.rfind(' ')) + "\n";
  WriteFile(server->KnownHosts(), changed);
  const u32 h = lib.SftpCreate();
  EXPECT_EQ(lib.SftpConnect(h, "127.0.0.1", server->Port(), SshServer::kUser, SshServer::kPassword, 10000), 21);
  char text[1024];
  lib.SftpErrorText(h, 21, text, sizeof text);
  EXPECT_NE(std::string(text).find("anderen Schlüssel"), std::string::npos) << text;
  lib.SftpClose(h);
  const CInternetException e = ConnectFailure(SshServer::kPassword, server->Port());
  EXPECT_EQ(e.m_dwError, 1229u);
  EXPECT_NE(e.Text().find("anderen Schlüssel"), std::string::npos) << e.Text();
  EXPECT_NE(e.Text().find(server->KnownHosts()), std::string::npos) << e.Text();
  EXPECT_EQ(ReadFile(server->KnownHosts()), changed);
}

class KeyOnlyServer : public SshTest {
 protected:
  void SetUp() override {
    options.passwords = false;
    SshTest::SetUp();
  }
};

TEST_F(KeyOnlyServer, WithoutPasswordsTheKeyLogsIn) {
  ::setenv("TAVRIN_SSH_IDENTITY", (server->Folder() + "/missing_key").c_str(), 1);
  const u32 without = CommLib().SftpCreate();
  EXPECT_EQ(CommLib().SftpConnect(without, "127.0.0.1", server->Port(), SshServer::kUser, SshServer::kPassword,
                                  10000),
            20);
  CommLib().SftpClose(without);
  ::setenv("TAVRIN_SSH_IDENTITY", server->ClientKey().c_str(), 1);
  const u32 h = SftpHandle("");
  EXPECT_NE(h, 0u);
  CommLib().SftpClose(h);
  ::unsetenv("TAVRIN_SSH_IDENTITY");
}

class LoggingServer : public SshTest {
 protected:
  void SetUp() override {
    options.logRequests = true;
    SshTest::SetUp();
  }
};

// libssh2 asks ahead for several times the read buffer: a small file must not cost a hundred
// requests that the server answers with "end of file".
TEST_F(LoggingServer, ASmallDownloadAsksForLittleMoreThanItsSize) {
  const std::string dir = server->NewFolder("small");
  WriteFile(dir + "/f", std::string(5000, 'f'));
  TempDir local("commlib-small");
  const u32 h = SftpHandle();
  ASSERT_NE(h, 0u);
  ASSERT_EQ(CommLib().SftpDownloadFile(h, (dir + "/f").c_str(), (local / "f").c_str(), 0, 0, 0), 0);
  CommLib().SftpClose(h);
  EXPECT_EQ(ReadFile(local / "f"), std::string(5000, 'f'));
  const std::string log = server->RequestLog();
  int reads = 0;
  for (std::size_t at = log.find(": read "); at != std::string::npos; at = log.find(": read ", at + 1)) ++reads;
  EXPECT_GE(reads, 2);
  EXPECT_LE(reads, 4) << log;
}

class InteractiveServer : public SshTest {
 protected:
  void SetUp() override {
    options.interactive = true;
    SshTest::SetUp();
  }
};

TEST_F(InteractiveServer, KeyboardInteractiveGetsThePassword) {
  const u32 h = SftpHandle();
  EXPECT_NE(h, 0u);
  CommLib().SftpClose(h);
  const u32 wrong = CommLib().SftpCreate();
  EXPECT_EQ(CommLib().SftpConnect(wrong, "127.0.0.1", server->Port(), SshServer::kUser, "falsch", 10000), 20);
  CommLib().SftpClose(wrong);
}

TEST_F(CommLibServer, SftpCallsAsTheAdaptersUseThem) {
  CommLibFunctions& lib = CommLib();
  const std::string dir = server->NewFolder("calls");
  const u32 h = SftpHandle();
  ASSERT_NE(h, 0u);
  // Mode 0: the server's default, a folder that can be entered.
  ASSERT_EQ(lib.SftpMkdir(h, (dir + "/made").c_str(), 0), 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(lib.SftpMkdir(h, (dir + "/made").c_str(), 0), 4);

  WriteFile(dir + "/file", "12345");
  SshServer::Own(dir + "/file");
  ASSERT_EQ(::symlink("file", (dir + "/link").c_str()), 0);
  SftpAttributes attrs{};
  ASSERT_EQ(lib.SftpStat(h, (dir + "/link").c_str(), &attrs), 0);
  EXPECT_EQ(attrs.permissions & 0xF000, 0x8000u) << "Stat follows links";
  EXPECT_EQ(attrs.size, 5u);
  EXPECT_EQ(attrs.flags & (SFTP_ATTR_PERMISSIONS | SFTP_ATTR_TIMES), SFTP_ATTR_PERMISSIONS | SFTP_ATTR_TIMES);
  EXPECT_EQ(lib.SftpStat(h, (dir + "/missing").c_str(), &attrs), 2);

  // The listing gives each entry's own attributes, and goes on while the callback says 0.
  struct Seen {
    std::vector<std::string> names;
    u32 linkType = 0;
  } seen;
  const auto entry = [](void* c, const char* name, const char* longName, const SftpAttributes* a) -> int {
    auto* s = static_cast<Seen*>(c);
    s->names.push_back(name);
    if (std::string(name) == "link") s->linkType = a->permissions & 0xF000;
    EXPECT_NE(longName, nullptr);
    return 0;
  };
  ASSERT_EQ(lib.SftpReadDir(h, dir.c_str(), entry, &seen), 0);
  std::sort(seen.names.begin(), seen.names.end());
  EXPECT_EQ(seen.names, (std::vector<std::string>{".", "..", "file", "link", "made"}));
  EXPECT_EQ(seen.linkType, 0xA000u);
  int calls = 0;
  const auto stop = [](void* c, const char*, const char*, const SftpAttributes*) -> int {
    ++*static_cast<int*>(c);
    return 1;
  };
  EXPECT_EQ(lib.SftpReadDir(h, dir.c_str(), stop, &calls), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(lib.SftpReadDir(h, (dir + "/missing").c_str(), stop, &calls), 2);

  char buffer[512];
  ASSERT_EQ(lib.SftpReadLink(h, (dir + "/link").c_str(), buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "file");
  ASSERT_EQ(lib.SftpRealPath(h, (dir + "/made/..").c_str(), buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), dir);
  char tiny[4];
  EXPECT_EQ(lib.SftpRealPath(h, dir.c_str(), tiny, sizeof tiny), 11);

  // Rename is plain: never onto an existing name.
  WriteFile(dir + "/other", "o");
  EXPECT_EQ(lib.SftpRename(h, (dir + "/file").c_str(), (dir + "/other").c_str()), 4);
  EXPECT_EQ(ReadFile(dir + "/other"), "o");
  EXPECT_EQ(lib.SftpRename(h, (dir + "/file").c_str(), (dir + "/moved").c_str()), 0);

  SftpAttributes set{};
  set.flags = SFTP_ATTR_PERMISSIONS | SFTP_ATTR_TIMES;
  set.permissions = 0600;
  set.atime = 1000000000;
  set.mtime = 1234567890;
  ASSERT_EQ(lib.SftpSetStat(h, (dir + "/moved").c_str(), &set), 0);
  ASSERT_EQ(::stat((dir + "/moved").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_mtime, 1234567890);
  EXPECT_EQ(st.st_atime, 1000000000);

  EXPECT_EQ(lib.SftpRmdir(h, (dir + "/made").c_str()), 0);
  EXPECT_EQ(lib.SftpRemove(h, (dir + "/moved").c_str()), 0);
  EXPECT_EQ(lib.SftpRemove(h, (dir + "/moved").c_str()), 2);
  lib.SftpClose(h);
  // A closed handle: Break and Progress do nothing, every other call fails.
  EXPECT_EQ(lib.SftpBreak(h), 0);
  u64 total = 7;
  EXPECT_EQ(lib.SftpProgress(h, &total), 0u);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(lib.SftpIsConnected(h), 0);
  SftpAttributes gone{};
  EXPECT_EQ(lib.SftpStat(h, dir.c_str(), &gone), 23);
  EXPECT_EQ(lib.SftpClose(h), 23);
}

TEST_F(CommLibServer, UploadsAndDownloadsGoThroughTemporaryNames) {
  CommLibFunctions& lib = CommLib();
  const std::string dir = server->NewFolder("transfers");
  TempDir local("commlib-local");
  const u32 h = SftpHandle();
  ASSERT_NE(h, 0u);
  std::string data;
  for (int i = 0; i < 3'000'000; ++i) data += static_cast<char>(i * 13 + i / 7);
  WriteFile(local / "up", data);
  ASSERT_EQ(lib.SftpUploadFile(h, (dir + "/new").c_str(), (local / "up").c_str(), 0, 0, 0), 0);
  u64 total = 0;
  EXPECT_EQ(lib.SftpProgress(h, &total), data.size());
  EXPECT_EQ(total, data.size());
  // OpenSSH's own client finds what we left.
  std::string out;
  ASSERT_EQ(server->Sftp("get " + dir + "/new " + (local / "check") + "\n", &out), 0) << out;
  EXPECT_EQ(ReadFile(local / "check"), data);

  // A replaced file keeps its mode; nothing else stays behind.
  WriteFile(dir + "/kept", "old");
  ::chmod((dir + "/kept").c_str(), 0640);
  SshServer::Own(dir + "/kept");
  ASSERT_EQ(lib.SftpUploadFile(h, (dir + "/kept").c_str(), (local / "up").c_str(), 0, 0, 0), 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/kept").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(dir + "/kept"), data);
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"kept", "new"}));

  // Downloads: the local file appears whole or not at all.
  WriteFile(local / "down", "mine");
  ::chmod((local / "down").c_str(), 0600);
  ASSERT_EQ(lib.SftpDownloadFile(h, (dir + "/new").c_str(), (local / "down").c_str(), 0, 0, 0), 0);
  EXPECT_EQ(ReadFile(local / "down"), data);
  ASSERT_EQ(::stat((local / "down").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(lib.SftpDownloadFile(h, (dir + "/missing").c_str(), (local / "down").c_str(), 0, 0, 0), 2);
  EXPECT_EQ(ReadFile(local / "down"), data);
  EXPECT_EQ(lib.SftpDownloadFile(h, dir.c_str(), (local / "dir").c_str(), 0, 0, 0), 4);
  EXPECT_EQ(lib.SftpDownloadFile(h, (dir + "/new").c_str(), (local / "no/such/folder").c_str(), 0, 0, 0), 13);
  names.clear();
  for (const auto& e : std::filesystem::directory_iterator(local.path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"check", "down", "up"}));

  // A sink that refuses gets the end signal of a failure, once.
  struct Sink {
    std::vector<int> ends;
    int blocks = 0;
    static int Write(void* c, const unsigned char* buffer, int count) {
      auto* s = static_cast<Sink*>(c);
      if (!buffer) {
        s->ends.push_back(count);
        return count;
      }
      return ++s->blocks == 2 ? 0 : count;
    }
  } sink;
  EXPECT_EQ(lib.SftpDownloadProc(h, (dir + "/new").c_str(), Sink::Write, &sink, 0, 0, 0), 14);
  EXPECT_EQ(sink.ends, std::vector<int>{-1});
  EXPECT_EQ(sink.blocks, 2);
  lib.SftpClose(h);
}

// A download is whole only as the file was when it was opened: cut or touched on the server
// while it is read, it fails, and a local file it was to replace stays.
TEST_F(CommLibServer, AFileThatChangesWhileReadFailsItsDownload) {
  CommLibFunctions& lib = CommLib();
  const std::string dir = server->NewFolder("changing");
  const u32 h = SftpHandle();
  ASSERT_NE(h, 0u);
  struct Sink {
    std::function<void()> change;
    std::vector<int> ends;
    u64 bytes = 0;
    static int Write(void* c, const unsigned char* buffer, int count) {
      auto* s = static_cast<Sink*>(c);
      if (!buffer) {
        s->ends.push_back(count);
        return count;
      }
      if (s->bytes == 0) s->change();
      s->bytes += static_cast<u64>(count);
      return count;
    }
  };
  const std::string big = dir + "/big";
  {
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 64u << 20);
  }
  Sink cut{[&] { std::filesystem::resize_file(big, 1u << 20); }, {}, 0};
  EXPECT_EQ(lib.SftpDownloadProc(h, big.c_str(), Sink::Write, &cut, 0, 0, 0), 25);
  EXPECT_EQ(cut.ends, std::vector<int>{-1});
  EXPECT_LT(cut.bytes, u64{64} << 20);

  // The same size, written anew meanwhile: its time tells.
  WriteFile(dir + "/same", std::string(300000, 's'));
  SetMTime(dir + "/same", 1500000000);
  Sink touched{[&] { SetMTime(dir + "/same", 1500000100); }, {}, 0};
  EXPECT_EQ(lib.SftpDownloadProc(h, (dir + "/same").c_str(), Sink::Write, &touched, 0, 0, 0), 25);
  EXPECT_EQ(touched.bytes, 300000u);
  EXPECT_EQ(touched.ends, std::vector<int>{-1});

  // Unchanged, it comes whole.
  Sink still{[] {}, {}, 0};
  EXPECT_EQ(lib.SftpDownloadProc(h, (dir + "/same").c_str(), Sink::Write, &still, 0, 0, 0), 0);
  EXPECT_EQ(still.ends, std::vector<int>{0});
  char text[128];
  lib.SftpErrorText(h, 25, text, sizeof text);
  EXPECT_STREQ(text, "Die Datei wurde während des Kopierens geändert");
  lib.SftpClose(h);
}

// SFTP renames onto no existing name: the old file goes aside while the new one takes its name.
// When the new one cannot (here: in a folder with the sticky bit, a temporary file given away to
// root may not be renamed by the user), the old one is back under its name and no aside stays.
TEST_F(LoggingServer, AnUploadWhoseLastRenameFailsPutsTheOldFileBack) {
  CommLibFunctions& lib = CommLib();
  const std::string dir = server->NewFolder("restore");
  ASSERT_EQ(::chown(dir.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 01777), 0);
  WriteFile(dir + "/keep", "old");
  SshServer::Own(dir + "/keep");
  const u32 h = SftpHandle();
  ASSERT_NE(h, 0u);
  // At the end of its data the upload's temporary file is given away to root.
  struct Source {
    std::string dir;
    bool sent = false;
    static int Read(void* c, unsigned char* buffer, int size) {
      auto* s = static_cast<Source*>(c);
      if (s->sent) {
        for (const auto& e : std::filesystem::directory_iterator(s->dir))
          if (e.path().filename().string().rfind(".keep.~kpw", 0) == 0) EXPECT_EQ(::chown(e.path().c_str(), 0, 0), 0);
        return 0;
      }
      s->sent = true;
      std::memcpy(buffer, "new", std::min(size, 3));
      return 3;
    }
  } source{dir};
  EXPECT_NE(lib.SftpUploadProc(h, (dir + "/keep").c_str(), Source::Read, &source, 0, 3, 0, 0, 0), 0);
  lib.SftpClose(h);
  EXPECT_EQ(ReadFile(dir + "/keep"), "old");
  // Besides it only the temporary file the user may no longer remove.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename() != "keep") names.push_back(e.path().filename());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(ReadFile(dir + "/" + names[0]), "new");
  // It came to that: the old file had been moved aside.
  const std::string log = server->RequestLog();
  int renames = 0;
  for (std::size_t at = log.find("rename old"); at != std::string::npos; at = log.find("rename old", at + 1)) ++renames;
  EXPECT_GE(renames, 3) << log;
}

TEST_F(CommLibServer, ProgressOnlyGrowsAndABreakEndsALongDownloadAtOnce) {
  CommLibFunctions& lib = CommLib();
  const std::string dir = server->NewFolder("long");
  TempDir local("commlib-long");
  // A sparse file: nothing to write here, a lot to move.
  {
    std::ofstream(dir + "/big").close();
    std::filesystem::resize_file(dir + "/big", 2ull << 30);
  }
  const u32 h = SftpHandle();
  ASSERT_NE(h, 0u);
  std::atomic<bool> running{true};
  std::vector<u64> seen;
  Clock::time_point broke{};
  std::thread observer([&] {
    u64 last = 0;
    while (running.load()) {
      u64 total = 0;
      const u64 done = lib.SftpProgress(h, &total);
      seen.push_back(done);
      if (done >= (32u << 20) && broke == Clock::time_point{}) {
        broke = Clock::now();
        lib.SftpBreak(h);
      }
      last = done;
      std::this_thread::sleep_for(10ms);
    }
    (void)last;
  });
  const int result = lib.SftpDownloadFile(h, (dir + "/big").c_str(), (local / "big").c_str(), 0, 0, 0);
  const auto returned = Clock::now();
  running = false;
  observer.join();
  EXPECT_EQ(result, 10);
  ASSERT_NE(broke, Clock::time_point{});
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returned - broke).count(), 500);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_FALSE(Exists(local / "big"));
  EXPECT_TRUE(std::filesystem::is_empty(local.path()));
  // The session is gone: a new handle is needed.
  EXPECT_EQ(lib.SftpIsConnected(h), 0);
  SftpAttributes attrs{};
  EXPECT_NE(lib.SftpStat(h, dir.c_str(), &attrs), 0);
  EXPECT_EQ(lib.SftpConnect(h, "127.0.0.1", server->Port(), SshServer::kUser, SshServer::kPassword, 10000), 17);
  lib.SftpClose(h);
  const u32 fresh = SftpHandle();
  EXPECT_NE(fresh, 0u);
  EXPECT_EQ(lib.SftpStat(fresh, dir.c_str(), &attrs), 0);
  lib.SftpClose(fresh);
}

}  // namespace
