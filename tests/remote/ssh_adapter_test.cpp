// The SSH adapter against OpenSSH's sshd on loopback: hostile names, the helper as root, elevation, listing lines.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"
#include "remote/connect_url.h"
#include "remote/ssh/ssh_connection.h"
#include "tests/support/files.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

using namespace kpwtest;

std::string Line(const char* text, int style, WIN32_FIND_DATAA* r = nullptr) {
  WIN32_FIND_DATAA record;
  const int kind = CSshUrlConnection::ParseLsLine(text, style, r ? r : &record);
  if (kind < 0) return "-";
  const WIN32_FIND_DATAA& x = r ? *r : record;
  return std::to_string(kind > 1 ? 2 : kind) + ":" + x.cFileName + ":" +
         std::to_string(u64{x.nFileSizeHigh} << 32 | x.nFileSizeLow);
}

TEST(SshListingLines, NamesSizesAndTimes) {
  WIN32_FIND_DATAA r;
  EXPECT_EQ(Line("-rw-r--r-- 1 5 2026-12-06 16:54:01.717563673 +0000 Foto  (1) 12:00.jpg", 0, &r),
            "0:Foto  (1) 12:00.jpg:5");
  EXPECT_EQ(FileTimeToU64(r.ftLastWriteTime), (1796576041ull + kFileTimeEpochOffset) * 10'000'000 + 7175636);
  EXPECT_TRUE(r.dwFileAttributes & URL_ATTR_READONLY ? false : true);
  // A zone east of UTC, a numeric group (never the size), a 5 GiB size.
  EXPECT_EQ(Line("-rwxr-x--x 1 1000 5368709120 2026-12-06 17:54:01.000000000 +0100 big", 1, &r), "0:big:5368709120");
  EXPECT_EQ(FileTimeToU64(r.ftLastWriteTime) / 10'000'000 - kFileTimeEpochOffset, 1796576041);
  EXPECT_EQ(r.dwFileAttributes & 0xFFFF, u32{URL_ATTR_HIDDEN | URL_ATTR_SYSTEM | URL_ATTR_ARCHIVE | (1u << 10)});
  EXPECT_EQ(Line("drwxr-xr-x 2 root 4096 Dec  6  2025 My  Files", 2), "1:My  Files:0");
  EXPECT_EQ(Line("lrwxrwxrwx 1 root root 4 Jan  1 10:00 a b -> c d", 3), "2:a b:4");
  EXPECT_EQ(Line("crw-rw-rw- 1 root root 1, 3 Jan  1  2024 null", 3), "0:null:0");
  EXPECT_EQ(Line("total 12", 0), "-");
  EXPECT_EQ(Line((">" + std::to_string(040755u << 16 | 0x13) + " 4096 100 200 my dir").c_str(), 3, &r), "1:my dir:0");
  EXPECT_EQ(r.dwFileAttributes & 0xFFFF, u32{URL_ATTR_DIRECTORY});
  EXPECT_EQ(Line(">x", 3), "-");
}

class SshAdapter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!SshServer::Missing().empty()) return;
    SshServer::Options options;
    options.rootLogin = true;
    server = SshServer::Start(options).release();
    if (!server) return;
    UseBuiltCommLib(server->Folder() + "/install");
    ::setenv("TAVRIN_SSH_IDENTITY", server->ClientKey().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
    ASSERT_NE(server, nullptr);
    folder = server->NewFolder("t" + std::to_string(++count));
  }
  static std::unique_ptr<CUrlConnection> Connect(const char* user, const char* password, u32 flags = 0) {
    try {
      return ConnectUrl("127.0.0.1", user, password, static_cast<u16>(server->Port()), u32{URL_KIND_SSH} | flags,
                        nullptr, nullptr);
    } catch (const CInternetException& e) {
      ADD_FAILURE() << "connect " << e.m_dwError;
      return nullptr;
    }
  }
  static bool Put(CUrlConnection& c, const std::string& path, const std::string& data) {
    return c.UploadMemory(path.c_str(), data.data(), static_cast<int>(data.size()), 0, 0);
  }
  static std::string Get(CUrlConnection& c, const std::string& path) {
    std::string data(2 << 20, '\0');
    const int n = c.DownloadMemory(path.c_str(), data.data(), static_cast<int>(data.size()), 0, 0, 0);
    if (n < 0) return "<" + std::to_string(GetLastError()) + ">";
    data.resize(static_cast<std::size_t>(n));
    return data;
  }
  static std::set<std::string> Names(CUrlConnection& c, const std::string& path, BOOL* ok = nullptr) {
    std::set<std::string> names;
    const auto collect = [](void* context, const WIN32_FIND_DATAA* entry) -> BOOL {
      if (entry) static_cast<std::set<std::string>*>(context)->insert(entry->cFileName);
      return TRUE;
    };
    const BOOL listed = c.ReadDir(path.c_str(), &names, collect, UrlDirFilter{});
    if (ok) *ok = listed;
    names.erase(".");
    names.erase("..");
    return names;
  }
  // A session as root whose helper is a shell script answering the version and the cases given
  // ("option) commands;;" each); probed. Null when it cannot be had.
  std::unique_ptr<CSshUrlConnection> WithHelper(const std::string& name, const std::string& cases) const {
    const std::string script = folder + "/" + name;
    WriteFile(script, "#!/bin/sh\ncase \"$1\" in\n-v) echo 'version 1';;\n" + cases + "esac\n");
    ::chmod(script.c_str(), 0755);
    if (!CommLibLoad()) return nullptr;
    CommLibFunctions& lib = CommLib();
    const u32 handle = lib.SshCreate();
    if (lib.SshConnect(handle, "127.0.0.1", server->Port(), "root", "", 0) != 0) {
      lib.SshClose(handle);
      return nullptr;
    }
    auto c = std::make_unique<CSshUrlConnection>(handle, "127.0.0.1", "root", "", 0,
                                                 static_cast<u16>(server->Port()), 1);
    c->SetHelperPath(script);
    return c->Probe(0, 10000, 1) ? std::move(c) : nullptr;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  // Every operation acts on exactly the file named.
  void HostileNames(CUrlConnection& c) {
    static const char* const kHostile[] = {"$(touch pwned)", "Foto (1).jpg", "it's.doc", "a&b.txt", "-lead",
                                           "`touch tick`", "x;y|z", "back\\slash", "two  blanks", "=$_-*?"};
    ASSERT_TRUE(c.ChangeDir(folder.c_str()));
    for (const char* name : kHostile) EXPECT_TRUE(Put(c, name, name)) << name;
    EXPECT_EQ(Names(c, folder), std::set<std::string>(std::begin(kHostile), std::end(kHostile)));
    for (const char* name : kHostile) {
      SCOPED_TRACE(name);
      const std::string renamed = std::string(name) + " 2";
      EXPECT_EQ(ReadFile(folder + "/" + name), name);
      EXPECT_EQ(Get(c, name), name);
      EXPECT_TRUE(c.Rename(name, renamed.c_str()));
      EXPECT_TRUE(c.SetAttributes(renamed.c_str(), URL_ATTR_READONLY));
      EXPECT_EQ(Mode(folder + "/" + renamed), 0440u);
      EXPECT_TRUE(c.Remove(renamed.c_str()));
    }
    EXPECT_TRUE(c.Mkdir("My Files"));
    EXPECT_TRUE(c.ChangeDir("My Files"));
    EXPECT_TRUE(Put(c, "in", "x"));
    EXPECT_EQ(Names(c, folder + "/My Files"), std::set<std::string>{"in"});
    EXPECT_TRUE(c.ChangeDir(folder.c_str()));
    EXPECT_EQ(Names(c, folder), std::set<std::string>{"My Files"});
    EXPECT_FALSE(Exists(folder + "/pwned"));
    EXPECT_FALSE(Exists(folder + "/tick"));
    EXPECT_FALSE(Exists(server->Home() + "/pwned"));
  }

  static inline SshServer* server = nullptr;
  static inline int count = 0;
  std::string folder;
};

TEST_F(SshAdapter, AnyNameIsAnOrdinaryFileThroughTheShellTools) {
  auto c = Connect(SshServer::kUser, SshServer::kPassword);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(static_cast<CSshUrlConnection&>(*c).HelperVersion(), 0u);
  HostileNames(*c);
  // Modes as written (0005 is no "chmod 0 5"); a path that no command line holds fails whole.
  ASSERT_TRUE(Put(*c, "m", "m"));
  EXPECT_TRUE(c->SetAttributes("m", 0005u << 16));
  EXPECT_EQ(Mode(folder + "/m"), 0005u);
  EXPECT_FALSE(c->Mkdir(std::string(5000, 'a').c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_FALSE(c->Remove("line\nbreak"));
  EXPECT_FALSE(c->Remove("line\nbreak"));
  BOOL ok = TRUE;
  EXPECT_TRUE(Names(*c, folder + "/missing", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(SshAdapter, TheHelperIsInstalledAndCarriesListingsAndTransfers) {
  // Only this test puts the helper into /bin (ctest runs the other tests side by side); the same
  // test of another build tree would remove it from under this one.
  const MachineLock helperLock("ssh-hexout");
  ASSERT_TRUE(helperLock.Held());
  struct Removal {
    Removal() { ::unlink("/bin/hexout"); }
    ~Removal() { ::unlink("/bin/hexout"); }
  } removal;
  auto c = Connect("root", "", URL_CONNECT_ALTERNATE);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(static_cast<CSshUrlConnection&>(*c).HelperVersion(), 1u);
  // Transfers of a MiB through the shell take their time in sanitizer builds beside other tests;
  // this test is not about time-outs.
  const u32 patient = 120000;
  ASSERT_TRUE(c->SetOption(URL_OPT_TIMEOUT, &patient, 4, 0));
  EXPECT_EQ(Mode("/bin/hexout"), 0755u);
  u32 foldersOnly = 0;
  int size = 4;
  EXPECT_TRUE(c->GetOption(URL_OPT_FOLDERS_ONLY, &foldersOnly, &size));
  EXPECT_EQ(foldersOnly, 1u);
  HostileNames(*c);
  // Sizes around the block of 256 bytes, by file, compared with what lies on the server.
  TempDir local("ssh-local");
  for (const std::size_t n : {0, 1, 255, 256, 257, 65 * 256 + 1, 1 << 20}) {
    SCOPED_TRACE(n);
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 131) ^ (i >> 8));
    WriteFile(local / "up", data);
    ASSERT_TRUE(c->UploadFile((local / "up").c_str(), "Foto (1).bin", 0, 0)) << GetLastError();
    EXPECT_TRUE(ReadFile(folder + "/Foto (1).bin") == data);
    ASSERT_TRUE(c->DownloadFile("Foto (1).bin", (local / "down").c_str(), FALSE, 0, 0, 0)) << GetLastError();
    EXPECT_TRUE(ReadFile(local / "down") == data);
  }
  // A missing folder is 3, an empty one lists nothing and succeeds.
  BOOL ok = FALSE;
  ASSERT_TRUE(c->Mkdir("empty"));
  EXPECT_TRUE(Names(*c, folder + "/empty", &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Names(*c, folder + "/missing", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // Links with their targets' data, a dangling one as it is.
  ASSERT_EQ(::symlink("empty", (folder + "/to-folder").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (folder + "/dangling").c_str()), 0);
  std::set<std::string> names = Names(*c, folder, &ok);
  EXPECT_TRUE(names.count("to-folder") && names.count("dangling"));
  // A break from another thread during transfers: 1223, the old file, no temporary file left.
  WriteDenseFile(local / "big", 8 << 20);
  for (const bool up : {true, false}) {
    SCOPED_TRACE(up);
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
      while (!stop.load()) {
        u64 done = 0;
        int n = 8;
        if (c->GetOption(URL_OPT_BYTES_DONE, &done, &n) && done > 0 && c->IsBusy()) {
          c->BreakIfBusy();
          return;
        }
        std::this_thread::yield();
      }
    });
    const BOOL moved = up ? c->UploadFile((local / "big").c_str(), "Foto (1).bin", 0, 0)
                          : c->DownloadFile("Foto (1).bin", (local / "down").c_str(), FALSE, 0, 0, 0);
    const DWORD error = GetLastError();
    stop = true;
    canceller.join();
    EXPECT_FALSE(moved);
    EXPECT_EQ(error, ERROR_CANCELLED);
    EXPECT_EQ(ReadFile(folder + "/Foto (1).bin").size(), 1u << 20);
  }
  EXPECT_EQ(ReadFile(local / "down").size(), 1u << 20);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Names(*c, folder).count("Foto (1).bin"), 1u);
  for (const std::string& name : Names(*c, folder)) EXPECT_EQ(name.find("hexout-"), std::string::npos) << name;
  // A session that broke is renewed by the next operation.
  c->Break();
  EXPECT_TRUE(c->SetOption(URL_OPT_RECONNECT, &foldersOnly, 4, 0));
  EXPECT_EQ(Get(*c, "Foto (1).bin").size(), 1u << 20);
}

TEST_F(SshAdapter, ElevationSendsThePasswordOnlyToItsPrompt) {
  if (::access("/usr/bin/sudo", X_OK) != 0) GTEST_SKIP() << "sudo is not installed";
  const std::string dropIn = "/etc/sudoers.d/kpw-ssh-test";
  // The same test of another build tree writes and removes the same drop-in.
  const MachineLock sudoersLock("ssh-sudoers");
  ASSERT_TRUE(sudoersLock.Held());
  struct Removal {
    std::string path;
    ~Removal() { ::unlink(path.c_str()); }
  } removal{dropIn};
  WriteFile(dropIn, std::string(SshServer::kUser) + " ALL=(ALL) ALL\n");
  ::chmod(dropIn.c_str(), 0440);
  const std::string user = std::string(SshServer::kUser) + "|" + SshServer::kPassword;
  auto c = Connect(user.c_str(), SshServer::kPassword);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(c->Mkdir((folder + "/made").c_str()));
  struct stat st {};
  ASSERT_EQ(::stat((folder + "/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u) << "made by root after sudo -i";
  c.reset();
  // Without a prompt (no password asked) the password is never typed into the shell.
  WriteFile(dropIn, std::string(SshServer::kUser) + " ALL=(ALL) NOPASSWD: ALL\n");
  // A password typed into the shell would run: this one leaves a file.
  const std::string marked = std::string(SshServer::kUser) + "|touch " + folder + "/typed";
  c = Connect(marked.c_str(), SshServer::kPassword);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(c->Mkdir((folder + "/again").c_str()));
  c->Close();
  c.reset();
  EXPECT_FALSE(Exists(folder + "/typed"));
  ASSERT_EQ(::stat((folder + "/again").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(SshAdapter, AHelperThatMiscountsOrHangsFailsAndTheNextOperationReconnects) {
  // A stand-in for the helper: answers the version and stat, counts one byte too few, sleeps.
  const std::string attr = std::to_string(0100644u << 16 | 0x3);
  auto c = WithHelper("fake helper", "-l) echo '>" + attr + " 5 100 100 f';;\n-w) echo 'LEN<0>'; while read l; do [ "
                                     "\"$l\" = '>STOP<' ] && break; done; echo 'END<599>';;\n-r256) sleep 20;;\n");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->HelperVersion(), 1u);
  EXPECT_FALSE(Put(*c, folder + "/x", std::string(600, 'x')));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  const u32 timeout = 1000;
  ASSERT_TRUE(c->SetOption(URL_OPT_TIMEOUT, &timeout, 4, 0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(*c, folder + "/f"), "<1460>");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // A new session and its first command take more than a second on a loaded machine.
  const u32 patient = 60000;
  ASSERT_TRUE(c->SetOption(URL_OPT_TIMEOUT, &patient, 4, 0));
  EXPECT_TRUE(c->Mkdir((folder + "/after").c_str()));
  EXPECT_TRUE(Exists(folder + "/after"));
  c->Close();
  c.reset();
  CommLibUnload();
}

// A helper that stalls in the middle of its lines for longer than the session waits for a line's
// rest, as one does on a loaded host: every line is still taken whole.
TEST_F(SshAdapter, LinesThatComeInPiecesAreTakenWhole) {
  const std::string attr = std::to_string(0100644u << 16 | 0x3);
  const std::string pause = "; sleep 0.3; ";
  auto c = WithHelper("slow helper", "-l) printf '>" + attr + " 5 1'" + pause + "echo '00 100 f';;\n-e) printf '>" +
                                         attr + " 5 100 100 '" + pause + "echo 'listed'; echo 'END<1>';;\n-r256) "
                                         "printf 'LEN<5>\\n>aGVs'" + pause + "printf 'bG8=\\nEND<'" + pause +
                                         "echo '5>';;\n");
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->HelperVersion(), 1u);
  EXPECT_EQ(Get(*c, folder + "/f"), "hello");
  EXPECT_EQ(Names(*c, folder), std::set<std::string>{"listed"});
  c->Close();
  c.reset();
  CommLibUnload();
}

TEST_F(SshAdapter, AHelperThatCannotBeInstalledLeavesTheShellTools) {
  ASSERT_TRUE(CommLibLoad());
  CommLibFunctions& lib = CommLib();
  const u32 handle = lib.SshCreate();
  ASSERT_EQ(lib.SshConnect(handle, "127.0.0.1", server->Port(), SshServer::kUser, SshServer::kPassword, 0), 0);
  CSshUrlConnection c(handle, "127.0.0.1", SshServer::kUser, SshServer::kPassword, 0,
                      static_cast<u16>(server->Port()), 1);
  c.SetHelperPath("/usr/lib/kpw-absent/hexout");
  ASSERT_TRUE(c.Probe(0, 10000, 1));
  EXPECT_EQ(c.HelperVersion(), 0u);
  EXPECT_EQ(c.LsStyle(), 0) << "GNU ls with --full-time";
  ASSERT_TRUE(Put(c, folder + "/f", "data"));
  EXPECT_EQ(Get(c, folder + "/f"), "data");
  EXPECT_EQ(Names(c, folder), std::set<std::string>{"f"});
  c.Close();
  CommLibUnload();
}

// Stands in for the library's SshWrite: the write of one printf block fails as a lost session.
SshWriteFn g_realWrite = nullptr;
int g_printfWrites = 0;
std::set<int> g_failing;
int FailingWrite(u32 handle, const char* text, int length) {
  if (std::string(text, static_cast<std::size_t>(length)).find("printf '") != std::string::npos &&
      g_failing.count(++g_printfWrites))
    return -14;
  return g_realWrite(handle, text, length);
}

TEST_F(SshAdapter, AFailedShellBlockIsSentAgainOnceOnANewSession) {
  auto c = Connect(SshServer::kUser, SshServer::kPassword);
  ASSERT_NE(c, nullptr);
  std::string data(4000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + (i >> 9));
  ASSERT_TRUE(Put(*c, folder + "/f", "old"));
  CommLibFunctions& lib = CommLib();
  g_realWrite = lib.SshWrite;
  lib.SshWrite = FailingWrite;
  g_printfWrites = 0;
  g_failing = {3};
  const BOOL once = Put(*c, folder + "/f", data);
  const DWORD onceError = GetLastError();
  g_printfWrites = 0;
  g_failing = {2, 4};  // the second failure comes while the retry still runs
  const BOOL twice = Put(*c, folder + "/g", data);
  lib.SshWrite = g_realWrite;
  EXPECT_TRUE(once) << onceError;
  EXPECT_TRUE(ReadFile(folder + "/f") == data);
  EXPECT_FALSE(twice);
  EXPECT_EQ(Names(*c, folder), std::set<std::string>{"f"});
}

// A second account with dash as its login shell: for su -l, and for the shell tools under dash.
bool MakeDashUser(const char* name) {
  const MachineLock lock(kUsersLock);
  if (!lock.Held()) return false;
  if (!::getpwnam(name) && RunProgram({"/usr/sbin/useradd", "-m", "-s", "/bin/dash", name}) != 0) return false;
  TempDir dir("ssh-pass");
  WriteFile(dir / "line", std::string(name) + ":" + SshServer::kPassword + "\n");
  return RunProgram({"/usr/sbin/chpasswd"}, nullptr, dir / "line") == 0;
}

TEST_F(SshAdapter, DashAsLoginShellAndSuToAnotherAccount) {
  const char* const kDash = "kpwdash";
  ASSERT_TRUE(MakeDashUser(kDash));
  const passwd* pw = ::getpwnam(kDash);
  ASSERT_NE(pw, nullptr);
  const uid_t dashUid = pw->pw_uid;
  ASSERT_EQ(::lchown(folder.c_str(), dashUid, pw->pw_gid), 0);
  // The host's zone is not ours: times are still UTC.
  WriteFile(std::string(pw->pw_dir) + "/.profile", "export TZ=Europe/Berlin\n");
  {
    auto c = Connect(kDash, SshServer::kPassword);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(Put(*c, folder + "/timed", "t"));
    ASSERT_TRUE(c->SetFileTime((folder + "/timed").c_str(), U64ToFileTime((1714979289ull + kFileTimeEpochOffset) * 10'000'000)));
    EXPECT_EQ(MTime(folder + "/timed"), 1714979289);
    ASSERT_TRUE(c->Remove((folder + "/timed").c_str()));
    HostileNames(*c);
    std::string data(3000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 8));
    ASSERT_TRUE(Put(*c, "bytes", data));
    EXPECT_TRUE(ReadFile(folder + "/bytes") == data);
    EXPECT_TRUE(Get(*c, "bytes") == data);
  }
  const std::string user = std::string(SshServer::kUser) + "|" + kDash + "|" + SshServer::kPassword;
  auto c = Connect(user.c_str(), SshServer::kPassword);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(c->Mkdir((folder + "/by-su").c_str()));
  struct stat st {};
  ASSERT_EQ(::stat((folder + "/by-su").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, dashUid);
}

}  // namespace
