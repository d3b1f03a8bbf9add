// One set of behaviours that every connection adapter must show, run against each adapter with a
// table of what its peer and the test make of it; what an adapter can do it says itself. A new
// adapter joins by adding its row to kStores.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/ctl/ctl_connection.h"
#include "remote/ftp/ftp_connection.h"
#include "remote/disk/disk_connection.h"
#include "remote/url_connection.h"
#include "remote/url_file_find.h"
#include "tests/support/ctl_simulator.h"
#include "tests/support/exfat_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/memory_connection.h"
#include "tests/support/smb_server.h"
#include "tests/support/slow_medium.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kpwtest;
using namespace std::chrono_literals;

// A store under test: connections into fresh empty folders of it, and what the interface cannot
// make (links).
class Store {
 public:
  virtual ~Store() = default;
  // A connection whose current folder is a fresh, empty folder of the store.
  virtual std::unique_ptr<CUrlConnection> Connect() = 0;
  // A link at the store's path link leading to the folder target; false where a store has none.
  virtual bool MakeFolderLink(CUrlConnection& connection, const std::string& link,
                              const std::string& target) = 0;
  // Makes transfers of the big file take long enough to be broken.
  virtual void SlowDown(CUrlConnection&) {}
  // A new connection whose current folder is folder (for stores whose break ends a connection).
  virtual std::unique_ptr<CUrlConnection> Again(const std::string&) { return nullptr; }
};

// What an adapter does where adapters may differ, beside what it says of itself (UrlCapabilities):
// what the options answer, and what the peer and the store under test make of it. Every
// difference from the local adapter is explained in differences.
struct StoreRow {
  const char* name;
  std::function<std::unique_ptr<Store>()> make;
  u32 kind;                  // option 71
  u32 kind68;                // option 68
  bool listsDots;            // listings hold "." and ".."
  bool reportsLinks;         // links are listed with URL_ATTR_LINK (and the store can make one)
  DWORD sourceFailure;       // an UploadProc whose source fails
  bool callbackBusy;         // callback transfers are busy (and breakable) while the callback runs
  u64 bigFile;               // bytes of a transfer that takes long enough to be broken
  std::vector<int> options;  // options that GetOption answers
  bool isDisk;               // option 73
  DWORD breakError;          // a transfer broken from another thread
  const char* differences;
  bool exactErrors = true;   // each failure has its own code (missing folder 3, folder exists 183, ...)
  bool peerSetsModes = true;  // the peer lets SetAttributes change the mode where the adapter can
  bool breakEnds = false;    // a break ends the connection (operations then fail with closedError)
  DWORD closedError = ERROR_INVALID_HANDLE;  // operations after Close (options always give 6)
};

void PrintTo(const StoreRow& row, std::ostream* out) {
  *out << row.name;
}

// The row with what the adapter of a connection says it can and keeps.
struct Capabilities : StoreRow {
  Capabilities() = default;
  Capabilities(const StoreRow& row, const UrlCapabilities& own)
      : StoreRow(row),
        timeStep(own.timeStep),
        creationTime(own.creationTimes),
        setsModes(own.setsModes && row.peerSetsModes),
        setsTimes(own.setsTimes) {}
  u64 timeStep = 1;          // 100-ns units of a write time that the store keeps
  bool creationTime = true;  // listings carry a creation time
  bool setsModes = true;     // SetAttributes changes the mode
  bool setsTimes = true;     // SetFileTime and option 74 set write times
};

// ---- the stores ----------------------------------------------------------------------------------

class LocalStore : public Store {
 public:
  std::unique_ptr<CUrlConnection> Connect() override {
    const std::string folder = m_dir / ("c" + std::to_string(++m_count));
    std::filesystem::create_directories(folder);
    return ConnectUrl("", "", "", 0, URL_KIND_LOCAL, folder.c_str(), nullptr);
  }
  bool MakeFolderLink(CUrlConnection&, const std::string& link, const std::string& target) override {
    return ::symlink(target.c_str(), link.c_str()) == 0;
  }

 private:
  TempDir m_dir{"conform"};
  int m_count = 0;
};

class MemoryStore : public Store {
 public:
  std::unique_ptr<CUrlConnection> Connect() override {
    auto connection = std::make_unique<MemoryConnection>();
    connection->Mkdir("/store");
    connection->ChangeDir("/store");
    connection->calls.clear();
    return connection;
  }
  bool MakeFolderLink(CUrlConnection& connection, const std::string& link,
                      const std::string& target) override {
    static_cast<MemoryConnection&>(connection).AddLink(link, target);
    return true;
  }
  void SlowDown(CUrlConnection& connection) override {
    static_cast<MemoryConnection&>(connection).stepDelay = 2ms;
  }
};

// A server of its own per store: each connection gets a fresh folder of it. Links are made on
// the server's disk, relative, so that they hold inside a chroot.
class FtpStore : public Store {
 public:
  // Data at 40 MB/s: the big file of the break tests takes a while.
  explicit FtpStore(bool vsftpd)
      : m_server(vsftpd ? FtpServer::Vsftpd(40'000'000) : FtpServer::Python({"rate=40000000"})) {}
  std::unique_ptr<CUrlConnection> Connect() override {
    if (!m_server) return nullptr;
    const std::string name = "c" + std::to_string(++m_count);
    std::filesystem::create_directories(m_server->Root() + "/" + name);
    m_server->Own(m_server->Root() + "/" + name);
    return ConnectUrl("127.0.0.1", m_server->User(), m_server->Password(), static_cast<u16>(m_server->Port()),
                      static_cast<u32>(URL_KIND_FTP) | URL_CONNECT_RECONNECT | URL_CONNECT_FTP_LINKS,
                      m_server->Path(name).c_str(), nullptr);
  }
  bool MakeFolderLink(CUrlConnection&, const std::string& link, const std::string& target) override {
    const std::filesystem::path at = Local(link);
    const std::filesystem::path to = std::filesystem::path(Local(target)).lexically_relative(at.parent_path());
    return ::symlink(to.c_str(), at.c_str()) == 0;
  }

 private:
  std::string Local(const std::string& serverPath) const {
    return m_server->Root() + serverPath.substr(m_server->ServerRoot() == "/" ? 0 : m_server->ServerRoot().size());
  }
  std::unique_ptr<FtpServer> m_server;
  int m_count = 0;
};

// The share "daten" of the test program's smbd, reached through the local adapter's share mode;
// each connection enters a fresh folder of it.
class SmbStore : public Store {
 public:
  std::unique_ptr<CUrlConnection> Connect() override {
    SmbServer* server = SmbServer::Shared();
    if (!server) return nullptr;
    static int count = 0;  // the server serves every test of the program
    const std::string name = "c" + std::to_string(++count);
    std::filesystem::create_directories(server->Root() + "/" + name);
    return ConnectUrl("127.0.0.1", server->User().c_str(), server->Password(), static_cast<u16>(server->Port()),
                      URL_KIND_LOCAL, ("/daten/" + name).c_str(), nullptr);
  }
  bool MakeFolderLink(CUrlConnection&, const std::string&, const std::string&) override { return false; }
};

const char* const kFtpDifferences =
    "FTP: replies say little about why (550 serves a missing file, an existing folder and a refusal "
    "alike, all error 12), no creation times of their own (the write time), a kind of its own; "
    "uploads and downloads go through temporary names, so a failure keeps the old file";

// OpenSSH's sshd on 127.0.0.1 with a test user; each connection gets a fresh folder of it. The
// server's disk is this machine's, so links are made here.
class SftpStore : public Store {
 public:
  SftpStore() : m_server(SshServer::Start()) {
    if (m_server) UseBuiltCommLib(m_server->Folder() + "/install");
  }
  std::unique_ptr<CUrlConnection> Connect() override {
    if (!m_server) return nullptr;
    const std::string folder = m_server->NewFolder("c" + std::to_string(++m_count));
    return ConnectUrl("127.0.0.1", SshServer::kUser, SshServer::kPassword, static_cast<u16>(m_server->Port()),
                      u32{URL_KIND_SFTP} | URL_CONNECT_RECONNECT, folder.c_str(), nullptr);
  }
  bool MakeFolderLink(CUrlConnection&, const std::string& link, const std::string& target) override {
    return ::symlink(target.c_str(), link.c_str()) == 0;
  }

 private:
  std::unique_ptr<SshServer> m_server;
  int m_count = 0;
};

// The same server through the shell: kind 7 with ls, printf and hexdump (the user may not install
// the helper).
class SshStore : public Store {
 public:
  SshStore() : m_server(SshServer::Start()) {
    if (m_server) UseBuiltCommLib(m_server->Folder() + "/install");
  }
  std::unique_ptr<CUrlConnection> Connect() override {
    if (!m_server) return nullptr;
    const std::string folder = m_server->NewFolder("c" + std::to_string(++m_count));
    return ConnectUrl("127.0.0.1", SshServer::kUser, SshServer::kPassword, static_cast<u16>(m_server->Port()),
                      u32{URL_KIND_SSH} | URL_CONNECT_RECONNECT, folder.c_str(), nullptr);
  }
  bool MakeFolderLink(CUrlConnection&, const std::string& link, const std::string& target) override {
    return ::symlink(target.c_str(), link.c_str()) == 0;
  }

 private:
  std::unique_ptr<SshServer> m_server;
  int m_count = 0;
};

// A FAT32 volume (or an exFAT or ext4 one) in an image, reached through a medium that can be
// slowed down; fsck.fat (fsck.exfat, e2fsck) finds it clean after every test.
class DiskStore : public Store {
 public:
  enum Kind { kFat, kExfat, kExt4 };
  explicit DiskStore(Kind kind = kFat) : m_kind(kind) {
    if (kind == kExt4) {
      m_image = m_dir / "disk.img";
      MustRun("mke2fs -q -F -t ext4 -b 4096 " + Quote(m_image) + " 64M");
    } else {
      m_image = kind == kExfat ? MakeExfatImage(m_dir, "disk.img", "4K", 256)
                               : MakeFatImage(m_dir, "disk.img", 32, 256 * 1024, "-s 8");
    }
  }
  ~DiskStore() override {
    if (m_kind == kExfat) EXPECT_EXFAT_CLEAN(m_image);
    else if (m_kind == kFat) EXPECT_FSCK_CLEAN(m_image);
    else EXPECT_EQ(Shell("e2fsck -fn " + Quote(m_image) + " 2>&1 | grep -v '^Pass \\|^e2fsck \\| files (' ; true"), "");
  }
  std::unique_ptr<CUrlConnection> Connect() override {
    auto medium = DrvOpenSlot(m_image.c_str(), DRV_ACCESS_READ_WRITE, false);
    EXPECT_NE(medium, nullptr);
    auto connection = std::make_unique<CDiskUrlConnection>(std::make_unique<DiskDriveTable>(), "disk.img", "",
                                                           "", 0, 0, 0);
    EXPECT_TRUE(connection->OpenMedium(std::make_unique<SlowMedium>(std::move(medium), m_delay), "disk.img", false))
        << connection->Message();
    const std::string folder = "/c" + std::to_string(++m_count);
    EXPECT_TRUE(connection->Mkdir(folder.c_str()));
    EXPECT_TRUE(connection->ChangeDir(folder.c_str()));
    return connection;
  }
  bool MakeFolderLink(CUrlConnection&, const std::string&, const std::string&) override { return false; }
  void SlowDown(CUrlConnection&) override { m_delay->store(2000); }

 private:
  Kind m_kind;
  TempDir m_dir{"conform-disk", ImageBase()};
  std::string m_image;
  std::shared_ptr<std::atomic<int>> m_delay = std::make_shared<std::atomic<int>>(0);
  int m_count = 0;
};

// A controller of its own per store; each connection gets a fresh folder of it.
class CtlStore : public Store {
 public:
  CtlStore() { CtlClientFolder(kCtlClientFolder.c_str()); }
  std::unique_ptr<CUrlConnection> Connect() override {
    if (!m_sim.Ok()) return nullptr;
    const std::string folder = "/c" + std::to_string(++m_count);
    std::filesystem::create_directories(m_sim.Local(folder));
    return Again(folder);
  }
  std::unique_ptr<CUrlConnection> Again(const std::string& folder) override {
    return ConnectUrl("127.0.0.1", "", "", static_cast<u16>(m_sim.Port()),
                      URL_KIND_CTLCOMM | u32{URL_CONNECT_RECONNECT}, folder.c_str(), nullptr);
  }
  bool MakeFolderLink(CUrlConnection&, const std::string& link, const std::string& target) override {
    const std::filesystem::path at = m_sim.Local(link);
    return ::symlink(std::filesystem::path(m_sim.Local(target)).lexically_relative(at.parent_path()).c_str(),
                     at.c_str()) == 0;
  }
  void SlowDown(CUrlConnection&) override { EXPECT_TRUE(m_sim.Command("SIM DELAY 1")); }

 private:
  TempDir m_dir{"conform-ctl"};
  CtlSimulator m_sim{m_dir / "root"};
  int m_count = 0;
};

const StoreRow kStores[] = {
    {"Local",
     [] { return std::make_unique<LocalStore>(); },
     3,
     3,
     true,
     true,
     ERROR_WRITE_FAULT,
     true,
     256ull << 20,
     {63, 64, 68, 70, 71, 73, 75, 77},
     false,
     ERROR_CANCELLED,
     "the reference"},
    {"Memory",
     [] { return std::make_unique<MemoryStore>(); },
     9,
     9,
     false,
     true,
     ERROR_READ_FAULT,
     false,
     4ull << 20,
     {63, 64, 68, 69, 71, 73, 75},
     false,
     ERROR_CANCELLED,
     "the test double of a remote store: callback transfers are the base class's (through a temporary file: "
     "a "
     "failing source gives 30, and the callback runs before the transfer is busy), no creation times, no "
     "dots, "
     "a kind of its own, and option 69 where remote adapters have it"},
    {"PyFtpdlib",
     [] { return std::make_unique<FtpStore>(false); },
     1,
     1,
     false,
     true,
     ERROR_READ_FAULT,
     true,
     64ull << 20,
     {5, 6, 8, 63, 64, 68, 71, 73, 75},
     false,
     ERROR_CANCELLED,
     kFtpDifferences,
     false,
     true},
    {"Vsftpd",
     [] { return std::make_unique<FtpStore>(true); },
     1,
     1,
     true,
     true,
     ERROR_READ_FAULT,
     true,
     64ull << 20,
     {5, 6, 8, 63, 64, 68, 71, 73, 75},
     false,
     ERROR_CANCELLED,
     "vsftpd's anonymous sessions may not SITE CHMOD; otherwise as pyftpdlib",
     false,
     false},
    {"Sftp",
     [] { return std::make_unique<SftpStore>(); },
     2,
     2,
     true,
     true,
     ERROR_WRITE_FAULT,
     true,
     64ull << 20,
     {5, 6, 8, 63, 64, 68, 69, 71, 73, 75},
     false,
     ERROR_CANCELLED,
     "SFTP: the server's status says little about why (an existing folder, a folder that is not "
     "empty and a file where a folder is wanted are all 12; a missing folder is 2), times in whole "
     "seconds, the creation time is the write time, a kind of its own",
     false},
    {"Ssh",
     [] { return std::make_unique<SshStore>(); },
     2,
     2,
     true,
     true,
     ERROR_READ_FAULT,
     true,
     1ull << 20,
     {5, 6, 8, 63, 64, 68, 69, 71, 73, 75, 78},
     false,
     ERROR_CANCELLED,
     "SSH shell: ls gives no creation time, times in whole seconds, a kind of its own; a failing source "
     "gives 30"},
    {"Disk",
     [] { return std::make_unique<DiskStore>(); },
     5,
     1,
     false,
     false,
     ERROR_READ_FAULT,
     true,
     4ull << 20,
     {5, 6, 8, 63, 64, 68, 71, 73, 75},
     true,
     ERROR_OPERATION_ABORTED,
     "a FAT volume: write times in steps of two seconds, no dots and no links in listings, a failing source "
     "gives 30, option 73 says it is a disk, and a break gives 995"},
    {"DiskExfat",
     [] { return std::make_unique<DiskStore>(DiskStore::kExfat); },
     5,
     1,
     false,
     false,
     ERROR_READ_FAULT,
     true,
     4ull << 20,
     {5, 6, 8, 63, 64, 68, 71, 73, 75},
     true,
     ERROR_OPERATION_ABORTED,
     "an exFAT volume: as FAT, but write times to the second"},
    {"DiskExt4",
     [] { return std::make_unique<DiskStore>(DiskStore::kExt4); },
     5,
     1,
     false,
     false,
     ERROR_READ_FAULT,
     true,
     4ull << 20,
     {5, 6, 8, 63, 64, 68, 71, 73, 75},
     true,
     ERROR_OPERATION_ABORTED,
     "an ext4 volume: as exFAT; links are listed as such, but the adapter makes none to test with"},
    {"Smb",
     [] { return std::make_unique<SmbStore>(); },
     3,
     3,
     true,
     false,
     ERROR_WRITE_FAULT,
     true,
     64ull << 20,
     {63, 64, 68, 70, 71, 73, 75, 77},
     false,
     ERROR_CANCELLED,
     "a share of smbd: times travel in whole seconds (the library sends no more), and smbd shows a link "
     "as what it leads to, so listings carry no link marks (a server's reparse points would be marked)"},
    {"CtlComm",
     [] { return std::make_unique<CtlStore>(); },
     6,
     6,
     false,
     true,
     12,
     true,
     16ull << 20,
     {5, 6, 8, 63, 64, 68, 69, 71, 73, 75},
     false,
     ERROR_INVALID_HANDLE,
     "a controller: the library's codes say little (existing names, refusals and callbacks that end a "
     "transfer all give 12), it keeps no times (SetFileTime gives 50, option 74 sets the attributes "
     "alone), no dots; a break ends the link, and with it the connection (the running call gives 6, "
     "every later operation 1359, as after Close)",
     false,
     true,
     true,
     ERROR_INTERNAL_ERROR},
};

// ---- helpers -------------------------------------------------------------------------------------

// Every entry of a folder as "name:attributes-in-hex:size", sorted, through CUrlFileFind.
std::vector<std::string> List(CUrlConnection& c, const std::string& folder, DWORD* error = nullptr) {
  std::vector<std::string> out;
  CUrlFileFind find(&c);
  if (find.FindFile(folder.c_str(), URL_FIND_NO_DOTS)) {
    BOOL more;
    do {
      more = find.FindNextFile();
      char line[320];
      std::snprintf(
          line, sizeof line, "%s:%x:%llu", find.GetFileName().c_str(),
          find.GetFindData().dwFileAttributes & (URL_ATTR_DIRECTORY | URL_ATTR_LINK | URL_ATTR_READONLY),
          static_cast<unsigned long long>(find.GetLength64()));
      out.push_back(line);
    } while (more);
  }
  if (error) *error = GetLastError();
  std::sort(out.begin(), out.end());
  return out;
}

std::string Here(CUrlConnection& c) {
  std::string dir;
  EXPECT_TRUE(c.GetCurrentDirString(dir));
  return dir;
}

bool Put(CUrlConnection& c, const std::string& path, const std::string& data) {
  return c.UploadMemory(path.c_str(), data.data(), static_cast<int>(data.size()), 0, 0);
}

std::string Get(CUrlConnection& c, const std::string& path) {
  std::string data(1 << 20, '\0');
  const int n = c.DownloadMemory(path.c_str(), data.data(), static_cast<int>(data.size()), 0, 0, 0);
  if (n < 0) return "<" + std::to_string(GetLastError()) + ">";
  data.resize(static_cast<std::size_t>(n));
  return data;
}

u32 Option(CUrlConnection& c, int id) {
  u32 value = 0xDEAD;
  int size = 4;
  EXPECT_TRUE(c.GetOption(id, &value, &size)) << id << " error " << GetLastError();
  return value;
}

// A data source of count blocks of size bytes, then the end; fails (-1) at block failAt.
struct Source {
  int count = 3;
  int failAt = -1;
  int given = 0;
  static int Read(void* context, BYTE* buffer, int size) {
    auto* s = static_cast<Source*>(context);
    if (s->given == s->failAt) return -1;
    if (s->given >= s->count) return 0;
    const int n = std::min(size, 1000);
    std::memset(buffer, 'a' + s->given % 26, static_cast<std::size_t>(n));
    ++s->given;
    return n;
  }
};

// A sink that keeps the data and the signals without data.
struct Sink {
  std::string data;
  std::vector<int> signals;
  int refuseAfter = -1;  // bytes after which it takes no more
  static int Write(void* context, const BYTE* buffer, int count) {
    auto* s = static_cast<Sink*>(context);
    if (!buffer) {
      s->signals.push_back(count);
      return count;
    }
    if (s->refuseAfter >= 0 && static_cast<int>(s->data.size()) >= s->refuseAfter) return 0;
    s->data.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(count));
    return count;
  }
};

class Conformance : public ::testing::TestWithParam<StoreRow> {
 protected:
  void SetUp() override {
    if (std::string(GetParam().name) == "Vsftpd" && !FtpServer::VsftpdMissing().empty())
      GTEST_SKIP() << FtpServer::VsftpdMissing();
    if (std::string(GetParam().name) == "Smb") KPW_REQUIRE_SMBD();
    if ((std::string(GetParam().name) == "Sftp" || std::string(GetParam().name) == "Ssh") &&
        !SshServer::Missing().empty())
      GTEST_SKIP() << SshServer::Missing();
    store = GetParam().make();
    c = store->Connect();
    ASSERT_NE(c, nullptr);
    m_caps = Capabilities(GetParam(), c->Capabilities());
    here = Here(*c);
  }
  const Capabilities& caps() const { return m_caps; }
  // The code of a failure where the store tells it; any code where it cannot.
  void ExpectError(DWORD error, DWORD exact) const {
    if (caps().exactErrors)
      EXPECT_EQ(error, exact);
    else
      EXPECT_NE(error, 0u);
  }
  // The connection to go on with after a break: the same one, or a new one in the same folder
  // where a break ends the connection (which is then checked to be closed).
  CUrlConnection& AfterBreak() {
    if (!caps().breakEnds) return *c;
    EXPECT_EQ(c->GetEngineHandle(), 0u);
    EXPECT_FALSE(Put(*c, "after", "a"));
    EXPECT_EQ(GetLastError(), caps().closedError);
    again = store->Again(here);
    EXPECT_NE(again, nullptr);
    return *again;
  }
  std::unique_ptr<Store> store;
  std::unique_ptr<CUrlConnection> c;
  std::string here;
  std::unique_ptr<CUrlConnection> again;
  TempDir local{"conform-local"};
  Capabilities m_caps;
};

// ---- behaviours ----------------------------------------------------------------------------------

TEST_P(Conformance, AnEmptyFolderListsAndAMissingOneFails) {
  DWORD error = 99;
  EXPECT_TRUE(List(*c, here, &error).empty());
  EXPECT_EQ(error, 0u) << "listed, nothing matched";
  EXPECT_TRUE(List(*c, here + "/missing", &error).empty());
  ExpectError(error, ERROR_PATH_NOT_FOUND);
  // ReadDir itself: the end is told once, also when the listing fails.
  int ends = 0;
  const auto count = [](void* context, const WIN32_FIND_DATAA* entry) -> BOOL {
    if (!entry) ++*static_cast<int*>(context);
    return TRUE;
  };
  EXPECT_FALSE(c->ReadDir("missing", &ends, count, UrlDirFilter{}));
  ExpectError(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(c->ReadDir("", &ends, count, UrlDirFilter{}));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(ends, 2);
  // A file is no folder.
  ASSERT_TRUE(Put(*c, "f", "x"));
  EXPECT_TRUE(List(*c, here + "/f", &error).empty());
  EXPECT_NE(error, 0u);
  // Dots where the store has them.
  std::set<std::string> names;
  const auto collect = [](void* context, const WIN32_FIND_DATAA* entry) -> BOOL {
    if (entry) static_cast<std::set<std::string>*>(context)->insert(entry->cFileName);
    return TRUE;
  };
  EXPECT_TRUE(c->ReadDir(here.c_str(), &names, collect, UrlDirFilter{}));
  EXPECT_EQ(names.count("."), caps().listsDots ? 1u : 0u);
  EXPECT_EQ(names.count("f"), 1u);
}

TEST_P(Conformance, FoldersAreMadeListedAndRemoved) {
  EXPECT_TRUE(c->Mkdir("a"));
  EXPECT_FALSE(c->Mkdir("a"));
  ExpectError(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(c->Mkdir("x/y"));
  EXPECT_TRUE(c->MakeDirTree((here + "/b/c/d").c_str()));
  ASSERT_TRUE(Put(*c, here + "/a/f.txt", "12345"));
  EXPECT_EQ(List(*c, here), (std::vector<std::string>{"a:10:0", "b:10:0"}));
  EXPECT_EQ(List(*c, here + "/a"), (std::vector<std::string>{"f.txt:0:5"}));
  EXPECT_FALSE(c->Rmdir("a"));
  ExpectError(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(c->Remove("a"));  // a folder is no file
  EXPECT_TRUE(c->Remove("a/f.txt"));
  EXPECT_FALSE(c->Remove("a/f.txt"));
  ExpectError(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(c->Rmdir("a"));
  ASSERT_TRUE(Put(*c, "b/c/d/deep", "x"));
  EXPECT_TRUE(c->RemoveTree((here + "/b").c_str()));
  EXPECT_TRUE(List(*c, here).empty());
}

TEST_P(Conformance, FilesTravelByFileByCallbackAndThroughMemory) {
  std::string data;
  for (int i = 0; i < 70000; ++i) data += static_cast<char>(i * 7);
  WriteFile(local / "up", data);
  ASSERT_TRUE(c->UploadFile((local / "up").c_str(), "f", 0, 0));
  EXPECT_EQ(List(*c, here), (std::vector<std::string>{"f:0:70000"}));
  u64 words[2] = {};
  int size = sizeof words;
  ASSERT_TRUE(c->GetOption(URL_OPT_PROGRESS, words, &size));
  EXPECT_EQ(words[0], 70000u);
  ASSERT_TRUE(c->DownloadFile("f", (local / "down").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(ReadFile(local / "down"), data);
  // An existing local file is refused on request, on the local side, and kept.
  WriteFile(local / "down", "mine");
  EXPECT_FALSE(c->DownloadFile("f", (local / "down").c_str(), TRUE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_LOCAL);
  EXPECT_EQ(ReadFile(local / "down"), "mine");

  Source source;
  ASSERT_TRUE(c->UploadProc("g", &source, Source::Read, 0, 0));
  Sink sink;
  ASSERT_TRUE(c->DownloadProc("g", &sink, Sink::Write, 0, 0, 0));
  EXPECT_EQ(sink.data, std::string(1000, 'a') + std::string(1000, 'b') + std::string(1000, 'c'));
  EXPECT_EQ(sink.signals, std::vector<int>{0});

  // Memory: exactly the buffer, one byte too little, an empty file, bad lengths.
  char buffer[3000];
  EXPECT_EQ(c->DownloadMemory("g", buffer, 3000, 0, 0, 0), 3000);
  EXPECT_EQ(c->DownloadMemory("g", buffer, 2999, 0, 0, 0), -1);
  EXPECT_TRUE(c->UploadMemory("empty", "", 0, 0, 0));
  EXPECT_EQ(c->DownloadMemory("empty", buffer, 10, 0, 0, 0), 0);
  EXPECT_FALSE(c->UploadMemory("bad", "x", -1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(List(*c, here), (std::vector<std::string>{"empty:0:0", "f:0:70000", "g:0:3000"}));
  EXPECT_EQ(c->DownloadMemory("missing", buffer, 10, 0, 0, 0), -1);
  EXPECT_NE(GetLastError(), 0u);
}

TEST_P(Conformance, AFailedTransferLeavesTheOldFileAndNothingElse) {
  ASSERT_TRUE(Put(*c, "f", "old"));
  Source failing;
  failing.failAt = 2;
  EXPECT_FALSE(c->UploadProc("f", &failing, Source::Read, 0, 0));
  EXPECT_EQ(GetLastError(), caps().sourceFailure);
  EXPECT_EQ(Get(*c, "f"), "old");
  Source failsAtOnce;
  failsAtOnce.failAt = 0;
  EXPECT_FALSE(c->UploadProc("new", &failsAtOnce, Source::Read, 0, 0));
  EXPECT_EQ(List(*c, here), std::vector<std::string>{"f:0:3"});
  // A local file that is missing fails on the local side.
  EXPECT_FALSE(c->UploadFile((local / "missing").c_str(), "f", 0, 0));
  EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_LOCAL);
  EXPECT_EQ(Get(*c, "f"), "old");
  // A sink that stops taking gets the abort signal once (the file spans blocks of 128 KiB too).
  ASSERT_TRUE(Put(*c, "big", std::string(300000, 'b')));
  Sink sink;
  sink.refuseAfter = 1;
  EXPECT_FALSE(c->DownloadProc("big", &sink, Sink::Write, 0, 0, 0));
  EXPECT_EQ(sink.signals, std::vector<int>{-1});
  Sink missing;
  EXPECT_FALSE(c->DownloadProc("missing", &missing, Sink::Write, 0, 0, 0));
  EXPECT_EQ(missing.signals, std::vector<int>{-1});
}

TEST_P(Conformance, RenameNeverReplaces) {
  ASSERT_TRUE(Put(*c, "a", "A"));
  ASSERT_TRUE(Put(*c, "b", "B"));
  EXPECT_FALSE(c->Rename("a", "b"));
  if (caps().exactErrors) {
    EXPECT_TRUE(GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS) << GetLastError();
  } else {
    EXPECT_NE(GetLastError(), 0u);
  }
  EXPECT_EQ(Get(*c, "b"), "B");
  EXPECT_TRUE(c->Rename("a", "c"));
  EXPECT_EQ(Get(*c, "c"), "A");
  EXPECT_FALSE(c->Rename("a", "d"));
  ASSERT_TRUE(c->Mkdir("dir"));
  EXPECT_TRUE(c->Rename("c", (here + "/dir/c").c_str()));
  EXPECT_EQ(List(*c, here + "/dir"), std::vector<std::string>{"c:0:1"});
}

TEST_P(Conformance, TimesAndAttributes) {
  ASSERT_TRUE(Put(*c, "f", "x"));
  // 2024-05-06 07:08:09.1234567 UTC
  const FILETIME t = U64ToFileTime((1714979289ull + kFileTimeEpochOffset) * 10'000'000 + 1'234'567);
  if (!caps().setsTimes) {
    EXPECT_FALSE(c->SetFileTime("f", t));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    // Option 74: the attributes alone; a record without any fails.
    WIN32_FIND_DATAA record;
    StrCopyA(record.cFileName, "f", sizeof record.cFileName);
    record.ftLastWriteTime = t;
    record.dwFileAttributes = URL_ATTR_READONLY | URL_ATTR_ARCHIVE;
    EXPECT_FALSE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record - 1, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
    EXPECT_EQ(List(*c, here), std::vector<std::string>{"f:1:1"});
    for (const DWORD none : {0u, 0xFFFFFFFFu}) {
      record.dwFileAttributes = none;
      EXPECT_FALSE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
      EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    }
    ASSERT_TRUE(c->SetAttributes("f", URL_ATTR_NORMAL));
    EXPECT_EQ(List(*c, here), std::vector<std::string>{"f:0:1"});
    CUrlFileFind find(c.get());
    ASSERT_TRUE(find.FindFile((here + "/f*").c_str(), 0));
    find.FindNextFile();
    EXPECT_NE(find.GetLastWriteTime(), 1714979289);
    EXPECT_EQ(find.GetCreationTime() != 0, caps().creationTime);
    return;
  }
  ASSERT_TRUE(c->SetFileTime("f", t));
  CUrlFileFind find(c.get());
  ASSERT_TRUE(find.FindFile((here + "/f*").c_str(), 0));
  find.FindNextFile();
  FILETIME got;
  find.GetLastWriteTime(&got);
  const u64 step = caps().timeStep;
  const i64 seconds = static_cast<i64>(std::max<u64>(1, step / 10'000'000));
  EXPECT_EQ(FileTimeToU64(got) / step, FileTimeToU64(t) / step);
  EXPECT_EQ(find.GetLastWriteTime(), 1714979289 / seconds * seconds);
  EXPECT_EQ(find.GetCreationTime() != 0, caps().creationTime);

  // Option 74: the write time and the attributes of a record.
  WIN32_FIND_DATAA record;
  StrCopyA(record.cFileName, "f", sizeof record.cFileName);
  record.ftLastWriteTime = U64ToFileTime(FileTimeToU64(t) + 20'000'000);
  record.dwFileAttributes = URL_ATTR_READONLY | URL_ATTR_ARCHIVE;
  EXPECT_FALSE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record - 1, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  if (!caps().setsModes) {
    // The time is set before the mode is refused.
    EXPECT_FALSE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
    ASSERT_TRUE(find.FindFile((here + "/f*").c_str(), URL_FIND_REREAD));
    find.FindNextFile();
    EXPECT_EQ(find.GetLastWriteTime(), 1714979291);
    EXPECT_FALSE(c->SetFileTime("missing", t));
    return;
  }
  ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
  ASSERT_TRUE(find.FindFile((here + "/f*").c_str(), URL_FIND_REREAD));
  find.FindNextFile();
  EXPECT_EQ(find.GetLastWriteTime(), 1714979291 / seconds * seconds);
  EXPECT_TRUE(find.MatchesMask(URL_ATTR_READONLY));
  ASSERT_TRUE(c->SetAttributes("f", URL_ATTR_NORMAL));
  EXPECT_EQ(List(*c, here), std::vector<std::string>{"f:0:1"});
  EXPECT_FALSE(c->SetFileTime("missing", t));
}

TEST_P(Conformance, OptionsAnswerAndCloseEndsEverything) {
  for (const int id : caps().options) {
    u64 buffer[2] = {};
    int size = id == URL_OPT_PROGRESS ? 8 : 4;
    EXPECT_TRUE(c->GetOption(id, buffer, &size)) << id;
    size = 2;
    EXPECT_FALSE(c->GetOption(id, buffer, &size)) << id;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << id;
  }
  EXPECT_EQ(Option(*c, URL_OPT_KIND), caps().kind);
  EXPECT_EQ(Option(*c, URL_OPT_KIND_68), caps().kind68);
  EXPECT_EQ(Option(*c, URL_OPT_IS_DISK), caps().isDisk ? 1u : 0u);
  u32 value = 0;
  int size = 4;
  EXPECT_FALSE(c->GetOption(4711, &value, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  std::string text = "x";
  EXPECT_FALSE(c->GetOptionString(URL_OPT_KIND, text));  // a number, no text
  EXPECT_EQ(text, "");
  const u32 done = 1234;
  EXPECT_TRUE(c->SetOption(URL_OPT_SET_DONE, &done, 4, 0));
  EXPECT_EQ(Option(*c, URL_OPT_BYTES_DONE), 1234u);
  EXPECT_TRUE(c->SetOption(URL_OPT_UPLOAD_SIZE, &done, 4, 0));
  EXPECT_FALSE(c->SetOption(URL_OPT_UPLOAD_SIZE, &done, 3, 0));
  EXPECT_FALSE(c->SetOption(4711, &done, 4, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

  c->Close();
  EXPECT_EQ(c->GetEngineHandle(), 0u);
  EXPECT_FALSE(c->GetOption(URL_OPT_KIND, &value, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(c->ChangeDir(here.c_str()));
  EXPECT_EQ(GetLastError(), caps().closedError);
  EXPECT_FALSE(Put(*c, "f", "x"));
  EXPECT_EQ(GetLastError(), caps().closedError);
  DWORD error = 0;
  EXPECT_TRUE(List(*c, here, &error).empty());
  EXPECT_EQ(error, caps().closedError);
}

TEST_P(Conformance, WhatTheAdapterSaysOfItselfHolds) {
  const UrlCapabilities own = c->Capabilities();
  // Names that differ in letter case only are one entry where the store folds case.
  ASSERT_TRUE(Put(*c, "Case.txt", "x"));
  EXPECT_EQ(c->NameKey(here.c_str(), "cASE.TXT") == c->NameKey(here.c_str(), "Case.txt"), own.caseFolding);
  // Marks live on the files only where the store keeps them.
  const std::string file = here + "/Case.txt";
  i64 since = 0;
  if (!own.marks) {
    EXPECT_EQ(c->GetMark(file.c_str(), &since), -1);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(c->SetMark(file.c_str(), 1714979289));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  } else if (c->SetMark(file.c_str(), 1714979289)) {
    EXPECT_EQ(c->GetMark(file.c_str(), &since), 1);
    EXPECT_EQ(since, 1714979289);
  } else {
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);  // the file system keeps no such attributes
  }
  // The options tell what the adapter says (a test double may declare no kind).
  if (own.kind != 0) {
    EXPECT_EQ(Option(*c, URL_OPT_KIND), own.kind);
    EXPECT_EQ(Option(*c, URL_OPT_KIND_68), own.kind68);
    EXPECT_EQ(Option(*c, URL_OPT_IS_DISK), own.isDisk ? 1u : 0u);
  }
  // A host is escaped only where the adapter says so.
  if (!own.escapedHost) EXPECT_EQ(c->GetHost().find('%'), std::string::npos);
}

TEST_P(Conformance, PathsAndTheCurrentFolder) {
  ASSERT_TRUE(c->Mkdir("sub"));
  ASSERT_TRUE(Put(*c, "file", "x"));
  EXPECT_FALSE(c->ChangeDir("file"));
  ExpectError(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Here(*c), here);
  EXPECT_TRUE(c->ChangeDir("sub/"));
  EXPECT_EQ(Here(*c), here + "/sub");
  EXPECT_TRUE(Put(*c, "inner", "i"));  // relative to the new folder
  EXPECT_TRUE(c->ChangeDir(".."));
  EXPECT_EQ(Get(*c, "sub/inner"), "i");
  // The URL of the folder: prefix, host, one "/".
  std::string url;
  ASSERT_TRUE(c->GetUrlPath(url));
  EXPECT_EQ(url, std::string(c->GetUrlPrefix()) + c->GetHost() + here);
  // A buffer too small says how much is needed.
  char small[2];
  int size = sizeof small;
  EXPECT_FALSE(c->GetCurrentDir(small, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, static_cast<int>(here.size()) + 1);
}

TEST_P(Conformance, LinksAreListedAndTreeRemovalNeverFollowsThem) {
  if (!caps().reportsLinks) GTEST_SKIP() << caps().differences;
  ASSERT_TRUE(c->MakeDirTree((here + "/keep/inner").c_str()));
  ASSERT_TRUE(Put(*c, "keep/precious", "p"));
  ASSERT_TRUE(c->MakeDirTree((here + "/tree/sub").c_str()));
  ASSERT_TRUE(Put(*c, "tree/sub/f", "f"));
  ASSERT_TRUE(store->MakeFolderLink(*c, here + "/tree/link", here + "/keep"));
  // A link to a folder: the link mark with the folder's.
  EXPECT_EQ(List(*c, here + "/tree"), (std::vector<std::string>{"link:210:0", "sub:10:0"}));
  EXPECT_TRUE(c->RemoveTree((here + "/tree").c_str()));
  EXPECT_EQ(List(*c, here), std::vector<std::string>{"keep:10:0"});
  EXPECT_EQ(List(*c, here + "/keep"), (std::vector<std::string>{"inner:10:0", "precious:0:1"}));
}

TEST_P(Conformance, FileFindFiltersWhatTheAdapterLists) {
  for (const char* name : {"a.txt", "B.TXT", "c.doc", "d.log"}) ASSERT_TRUE(Put(*c, name, "x"));
  ASSERT_TRUE(c->Mkdir("folder.txt"));
  const auto names = [&](const std::function<BOOL(CUrlFileFind&)>& open) {
    std::string all;
    CUrlFileFind find(c.get());
    if (open(find)) {
      BOOL more;
      do {
        more = find.FindNextFile();
        all += (all.empty() ? "" : " ") + find.GetFileName();
      } while (more);
    }
    std::vector<std::string> sorted;
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t blank = std::min(all.find(' ', at), all.size());
      sorted.push_back(all.substr(at, blank - at));
      at = blank + 1;
    }
    std::sort(sorted.begin(), sorted.end());
    std::string out;
    for (const std::string& s : sorted) out += (out.empty() ? "" : " ") + s;
    return out;
  };
  EXPECT_EQ(names([&](CUrlFileFind& f) { return f.FindFile((here + "/*.txt").c_str(), 0); }),
            "B.TXT a.txt folder.txt");
  EXPECT_EQ(names([&](CUrlFileFind& f) { return f.FindFile("*.TXT", URL_FIND_NO_FOLDERS); }), "B.TXT a.txt");
  EXPECT_EQ(names([&](CUrlFileFind& f) { return f.FindFile("*", URL_FIND_NO_FILES | URL_FIND_NO_DOTS); }),
            "folder.txt");
  EXPECT_EQ(
      names([&](CUrlFileFind& f) { return f.FindFile(here.c_str(), "*.txt;*.doc", "b*", URL_FIND_NO_DOTS); }),
      "a.txt c.doc folder.txt");
  EXPECT_EQ(names([&](CUrlFileFind& f) { return f.FindFile("", "*.log", nullptr, URL_FIND_NO_DOTS); }),
            "d.log");
  EXPECT_EQ(names([&](CUrlFileFind& f) {
              return f.FindFile(here.c_str(), "*.log", nullptr,
                                URL_FIND_NO_DOTS | URL_FIND_FOLDERS_UNFILTERED);
            }),
            "d.log folder.txt");
  // Nothing matched: FALSE with last error 0.
  CUrlFileFind none(c.get());
  EXPECT_FALSE(none.FindFile("*.none", 0));
  EXPECT_EQ(GetLastError(), 0u);
  // Paths and URLs of an entry.
  CUrlFileFind one(c.get());
  ASSERT_TRUE(one.FindFile("c.*", 0));
  EXPECT_FALSE(one.FindNextFile());
  EXPECT_EQ(one.GetFilePath(), here + "/c.doc");
  EXPECT_EQ(one.GetFileTitle(), "c");
  EXPECT_EQ(one.GetFileURL(), std::string(c->GetUrlPrefix()) + c->GetHost() + here + "/c.doc");
}

// ---- breaks from another thread (the progress dialog's cancel) ----------------------------------

TEST_P(Conformance, ABreakFromAnotherThreadStopsAFileTransferAndKeepsTheOldTarget) {
  WriteDenseFile(local / "big", caps().bigFile);
  ASSERT_TRUE(Put(*c, "target", "old"));
  store->SlowDown(*c);
  std::atomic<bool> stop{false};
  // As the progress timer does: reads the counter, and cancels once the transfer has begun.
  std::thread canceller([&] {
    while (!stop.load()) {
      u64 done = 0;
      int size = 8;
      if (c->GetOption(URL_OPT_BYTES_DONE, &done, &size) && done > 0 && c->IsBusy()) {
        c->BreakIfBusy();
        return;
      }
      std::this_thread::yield();
    }
  });
  const BOOL sent = c->UploadFile((local / "big").c_str(), "target", 0, 0);
  const DWORD error = GetLastError();
  stop = true;
  canceller.join();
  EXPECT_FALSE(sent);
  EXPECT_EQ(error, caps().breakError);
  if (!caps().breakEnds) {
    EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_TRANSFER);
  }
  // The connection works on (or a new one, where a break ends it).
  CUrlConnection& on = AfterBreak();
  EXPECT_EQ(Get(on, "target"), "old");
  EXPECT_EQ(List(on, here), std::vector<std::string>{"target:0:3"});
  EXPECT_TRUE(Put(on, "after", "a"));
}

TEST_P(Conformance, ABreakFromAnotherThreadStopsCallbackTransfers) {
  if (!caps().callbackBusy) GTEST_SKIP() << caps().differences;
  // A source without end: only the break ends the upload.
  struct Endless {
    CUrlConnection* c;
    std::thread breaker;
    static int Read(void* context, BYTE* buffer, int size) {
      auto* e = static_cast<Endless*>(context);
      if (!e->breaker.joinable())
        e->breaker = std::thread([c = e->c] {
          EXPECT_TRUE(WaitUntil([&] { return c->IsBusy(); })) << "the upload never got busy";
          c->BreakIfBusy();
        });
      std::memset(buffer, 'e', static_cast<std::size_t>(size));
      return size;
    }
  } endless{c.get(), {}};
  ASSERT_TRUE(Put(*c, "up", "old"));
  ASSERT_TRUE(Put(*c, "down", std::string(200000, 'd')));
  {
    const Deadline deadline("an upload without end that only a break ends");
    EXPECT_FALSE(c->UploadProc("up", &endless, Endless::Read, 0, 0));
  }
  EXPECT_EQ(GetLastError(), caps().breakError);
  JoinWithin(endless.breaker, "the breaker of the endless upload");
  {
    CUrlConnection& on = AfterBreak();
    EXPECT_EQ(Get(on, "up"), "old");
    if (caps().breakEnds) c = std::move(again);
  }

  // A sink that waits for the break after its first block.
  struct Waiting {
    CUrlConnection* c;
    int blocks = 0;
    std::vector<int> signals;
    static int Write(void* context, const BYTE* buffer, int count) {
      auto* w = static_cast<Waiting*>(context);
      if (!buffer) {
        w->signals.push_back(count);
        return count;
      }
      if (w->blocks++ == 0) {
        std::thread breaker([c = w->c] { c->BreakIfBusy(); });
        JoinWithin(breaker, "a break while the sink holds the transfer");
      }
      return count;
    }
  } waiting{c.get(), 0, {}};
  EXPECT_FALSE(c->DownloadProc("down", &waiting, Waiting::Write, 0, 0, 0));
  EXPECT_EQ(GetLastError(), caps().breakError);
  EXPECT_EQ(waiting.blocks, 1);
  EXPECT_EQ(waiting.signals, std::vector<int>{-1});
}

INSTANTIATE_TEST_SUITE_P(Adapters, Conformance, ::testing::ValuesIn(kStores),
                         [](const ::testing::TestParamInfo<StoreRow>& info) { return info.param.name; });

}  // namespace
