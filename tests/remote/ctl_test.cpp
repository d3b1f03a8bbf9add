// The controller link against ctlsim: loading the library, connecting, listings, lost links, breaks and name
// encodings.
#include "lib/text/enc.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/ctl/ctl_connection.h"
#include "remote/url_file_find.h"
#include "tests/support/ctl_simulator.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kpwtest;
using namespace std::chrono_literals;

// Every entry of the current folder as "name:attributes-in-hex:size", sorted.
std::vector<std::string> Entries(CUrlConnection& c, const std::string& folder = "") {
  std::vector<std::string> out;
  const auto collect = [](void* context, const WIN32_FIND_DATAA* entry) -> BOOL {
    if (entry) {
      char line[400];
      std::snprintf(line, sizeof line, "%s:%x:%llu", entry->cFileName,
                    static_cast<unsigned>(entry->dwFileAttributes),
                    (static_cast<unsigned long long>(entry->nFileSizeHigh) << 32) | entry->nFileSizeLow);
      static_cast<std::vector<std::string>*>(context)->push_back(line);
    }
    return TRUE;
  };
  if (!c.ReadDir(folder.c_str(), &out, collect, UrlDirFilter{}))
    out.push_back("<" + std::to_string(GetLastError()) + ">");
  std::sort(out.begin(), out.end());
  return out;
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

bool SetWord(CUrlConnection& c, int id, u32 value) {
  return c.SetOption(id, &value, sizeof value, 0);
}

// The names in a folder on disk, sorted.
std::vector<std::string> OnDisk(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class Ctl : public ::testing::Test {
 protected:
  void SetUp() override {
    CtlClientFolder(kCtlClientFolder.c_str());
    ASSERT_TRUE(sim.Ok());
  }
  // As the Ftp worker connects: the link is tested before each operation.
  std::unique_ptr<CUrlConnection> Connect(const char* start = "", u32 flags = URL_CONNECT_RECONNECT) {
    return ConnectUrl("127.0.0.1", "", "", static_cast<u16>(sim.Port()), URL_KIND_CTLCOMM | flags, start,
                      nullptr);
  }
  TempDir dir{"ctl"};
  CtlSimulator sim{dir / "root"};
  TempDir local{"ctl-local"};
};

// ---- the library and the connect ------------------------------------------------------------------

TEST(CtlErrors, EveryLibraryResultHasItsCodeAndLostLinksAreChecked) {
  const std::map<int, DWORD> table = {
      {0, 0},     {2, 87},    {30, 87},   {33, 87},   {36, 87},   {3, 1154},  {45, 1154}, {4, 127},
      {5, 14},    {7, 22},    {8, 1056},  {9, 1056},  {10, 1062}, {11, 2250}, {12, 1444}, {13, 111},
      {14, 1450}, {15, 1171}, {16, 1364}, {17, 1361}, {18, 1232}, {19, 1231}, {20, 1814}, {21, 1219},
      {22, 1158}, {32, 1158}, {48, 1158}, {23, 1460}, {24, 1224}, {25, 58},   {26, 6},    {27, 6},
      {28, 1312}, {29, 1150}, {35, 1427}, {37, 2},    {38, 5004}, {42, 1607}, {43, 33},   {44, 50}};
  for (int result = 0; result < 100; ++result) {
    bool link = true;
    const auto it = table.find(result);
    EXPECT_EQ(CtlErrorFromCi(result, &link), it == table.end() ? 12u : it->second) << result;
    EXPECT_EQ(link, result == 7 || result == 11) << result;
  }
}

TEST(CtlLoad, AMissingOrIncompleteLibraryFailsWithAGermanTextAndLeavesNothingLoaded) {
  CtlClientUnload();
  const auto failure = [](const std::string& folder) -> std::string {
    CtlClientFolder(folder.c_str());
    try {
      ConnectUrl("127.0.0.1", "", "", 1, URL_KIND_CTLCOMM, "", nullptr);
      ADD_FAILURE() << "connected without a whole library";
    } catch (const CInternetException& e) {
      EXPECT_EQ(e.m_dwError, 1154u);
      return e.Text();
    }
    return "";
  };
  TempDir empty("ctl-empty");
  const std::string missing =
      "Die Steuerungsbibliothek libCtlClient32.so ist nicht zu finden, weder im Ordner \"" + empty.path() +
      "\" noch im Ordner des Programms noch im Suchpfad des Systems; ohne sie sind keine "
      "ctlcomm://-Verbindungen möglich.";
  EXPECT_EQ(failure(empty.path()), missing);
  EXPECT_EQ(failure(kCtlClientIncompleteFolder), "Der Steuerungsbibliothek \"" + kCtlClientIncompleteFolder +
                                                     "/libCtlClient32.so\" fehlt die Funktion CiGetInfos; "
                                                     "ohne sie sind keine ctlcomm://-Verbindungen möglich.");
  // The incomplete library was let go: a look by name does not find it still in memory.
  EXPECT_EQ(failure(empty.path()), missing);
  CiHandle handle = 7;
  EXPECT_FALSE(CtlClientConnect(&handle, "127.0.0.1", 1, "", ""));
  EXPECT_EQ(GetLastError(), 1154u);
  EXPECT_EQ(handle, 0u);
  EXPECT_FALSE(CtlClientUnload());
  EXPECT_TRUE(CtlClientLoad(kCtlClientFolder.c_str()));
  EXPECT_TRUE(CtlClientLoad(nullptr));  // loaded already
  EXPECT_TRUE(CtlClientUnload());
}

TEST_F(Ctl, ConnectFailuresAreMappedAndNoControllerIsTakenForOne) {
  const auto code = [&](const char* host, u16 port) -> DWORD {
    try {
      ConnectUrl(host, "", "", port, URL_KIND_CTLCOMM, "", nullptr);
    } catch (const CInternetException& e) {
      return e.m_dwError;
    }
    return 0;
  };
  EXPECT_EQ(code("[::1", 1), 1814u);  // no address at all
  // A port where nothing listens.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(probe);
  EXPECT_EQ(code("127.0.0.1", ntohs(address.sin_port)), 1158u);
  // A peer that greets otherwise.
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address.sin_port = 0;
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(server, 1), 0);
  ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread peer([server] {
    const int fd = ::accept(server, nullptr, nullptr);
    if (fd >= 0) {
      ::send(fd, "220 FTP\r\n", 9, MSG_NOSIGNAL);
      ::close(fd);
    }
  });
  EXPECT_EQ(code("127.0.0.1", ntohs(address.sin_port)), 1158u);
  ::shutdown(server, SHUT_RDWR);  // a peer still waiting for the connection that never came
  JoinWithin(peer, "the peer that greets otherwise");
  ::close(server);
}

// A controller on ::1 that answers the start folder and waits for the end of the link.
TEST(CtlConnect, AnIpv6AddressKeepsItsPort) {
  CtlClientFolder(kCtlClientFolder.c_str());
  const int server = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  socklen_t length = sizeof address;
  if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(server);
    GTEST_SKIP() << "no IPv6 loopback";
  }
  ASSERT_EQ(::listen(server, 1), 0);
  ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread peer([server] {
    const int fd = ::accept(server, nullptr, nullptr);
    if (fd < 0) return;
    const timeval patience{60, 0};  // a link that is never ended
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::send(fd, "CTL 1 UTF-8\n", 12, MSG_NOSIGNAL);
    char buffer[64];
    if (::recv(fd, buffer, sizeof buffer, 0) > 0) ::send(fd, "0 /\n", 4, MSG_NOSIGNAL);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
  });
  try {
    auto c = ConnectUrl("::1", "", "", ntohs(address.sin6_port), URL_KIND_CTLCOMM, "", nullptr);
    EXPECT_NE(c->GetEngineHandle(), 0u);
  } catch (const CInternetException& e) {
    ADD_FAILURE() << e.m_dwError;
  }
  ::shutdown(server, SHUT_RDWR);  // a peer still waiting for the connection that never came
  JoinWithin(peer, "the controller on ::1");
  ::close(server);
}

TEST_F(Ctl, OptionsAndTheStartFolder) {
  std::filesystem::create_directories(sim.Local("/sub/deeper"));
  auto c = Connect();
  std::string here;
  ASSERT_TRUE(c->GetCurrentDirString(here));
  EXPECT_EQ(here, "/");
  EXPECT_EQ(Option(*c, URL_OPT_TIMEOUT), 30000u);
  ASSERT_TRUE(SetWord(*c, URL_OPT_TIMEOUT_C, 1234));
  EXPECT_EQ(Option(*c, URL_OPT_TIMEOUT_B), 1234u);
  EXPECT_EQ(Option(*c, URL_OPT_UTF8_NAMES), 1u);
  EXPECT_EQ(Option(*c, URL_OPT_KIND), 6u);
  u32 word = 0;
  int size = 4;
  EXPECT_FALSE(c->GetOption(URL_OPT_FOLDERS_ONLY, &word, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

  auto in = Connect("/sub");
  ASSERT_TRUE(in->GetCurrentDirString(here));
  EXPECT_EQ(here, "/sub");
  std::string url;
  ASSERT_TRUE(in->GetUrlPath(url));
  EXPECT_EQ(url, "ctlcomm://127.0.0.1/sub");
  // A start folder that is not there: nothing lands in the root by mistake.
  auto lost = Connect("/missing");
  EXPECT_FALSE(Put(*lost, "f", "x"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(OnDisk(sim.Root()), std::vector<std::string>{"sub"});
  // A path longer than the controller takes is refused, never cut.
  const std::string longName(5000, 'n');
  EXPECT_FALSE(c->Mkdir(longName.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

// ---- listings and attributes ----------------------------------------------------------------------

TEST_F(Ctl, ListingsShowReadOnlyFilesBigSizesAndLinksWhichAreNeverEntered) {
  WriteFile(sim.Local("/ro.txt"), "r");
  ASSERT_EQ(::chmod(sim.Local("/ro.txt").c_str(), 0444), 0);
  WriteFile(sim.Local("/rw.txt"), "w");
  WriteFile(sim.Local("/.hidden"), "h");
  std::filesystem::create_directories(sim.Local("/folder/inner"));
  WriteFile(sim.Local("/folder/keep"), "k");
  {
    // A sparse file of 5 GiB.
    const int fd = ::open(sim.Local("/big").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(fd, 5ll << 30), 0);
    ::close(fd);
  }
  ASSERT_EQ(::symlink("folder", sim.Local("/to-folder").c_str()), 0);
  ASSERT_EQ(::symlink("rw.txt", sim.Local("/to-file").c_str()), 0);
  auto c = Connect();
  // Read-only: the controller says the file is not writable (0x02 clear), though it is readable.
  EXPECT_EQ(Entries(*c),
            (std::vector<std::string>{".hidden:2:1", "big:400:5368709120", "folder:10:0", "ro.txt:1:1",
                                      "rw.txt:0:1", "to-file:200:0", "to-folder:210:0"}));
  // A link is never entered, and removing it removes the link alone.
  EXPECT_FALSE(c->ChangeDir("to-folder"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Entries(*c, "to-folder"), std::vector<std::string>{"<2>"});
  EXPECT_FALSE(Put(*c, "to-folder/new", "x"));
  EXPECT_FALSE(c->RemoveTree("/to-folder"));  // a link is no folder
  EXPECT_TRUE(c->Remove("to-folder"));
  EXPECT_EQ(OnDisk(sim.Local("/folder")), (std::vector<std::string>{"inner", "keep"}));
  // Writing over a link replaces the link; the file it led to stays.
  ASSERT_TRUE(Put(*c, "to-file", "new"));
  EXPECT_EQ(ReadFile(sim.Local("/rw.txt")), "w");
  EXPECT_EQ(ReadFile(sim.Local("/to-file")), "new");
  // A read-only file is not overwritten.
  EXPECT_FALSE(Put(*c, "ro.txt", "x"));
  EXPECT_EQ(ReadFile(sim.Local("/ro.txt")), "r");
}

TEST_F(Ctl, AttributesAndTimes) {
  WriteFile(sim.Local("/f"), "x");
  auto c = Connect();
  const auto mode = [&] {
    struct stat st {};
    ::stat(sim.Local("/f").c_str(), &st);
    return st.st_mode & 0777;
  };
  ::chmod(sim.Local("/f").c_str(), 0644);
  ASSERT_TRUE(c->SetAttributes("f", URL_ATTR_READONLY));
  EXPECT_EQ(mode(), 0444u);
  ASSERT_TRUE(c->SetAttributes("f", URL_ATTR_ARCHIVE));
  EXPECT_EQ(mode(), 0644u);
  // A Unix mode: any read, any write permission.
  ASSERT_TRUE(c->SetAttributes("f", 0440u << 16));
  EXPECT_EQ(mode(), 0444u);
  ASSERT_TRUE(c->SetAttributes("f", 0020u << 16));
  EXPECT_EQ(mode(), 0244u);
  ASSERT_TRUE(c->SetAttributes("f", 0644u << 16));
  EXPECT_EQ(mode(), 0644u);
  EXPECT_FALSE(c->SetFileTime("f", FILETIME{1, 1}));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(c->SetAttributes("missing", URL_ATTR_NORMAL));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Ctl, LocalSidesOfTransfers) {
  auto c = Connect();
  std::filesystem::create_directories(local / "folder");
  EXPECT_FALSE(c->UploadFile((local / "folder").c_str(), "f", 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_LOCAL);
  EXPECT_FALSE(c->UploadFile((local / "missing").c_str(), "f", 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_LOCAL);
  WriteFile(local / "up", "data");
  ASSERT_TRUE(c->UploadFile((local / "up").c_str(), "f", 0, 0));
  EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_NONE);
  EXPECT_FALSE(c->DownloadFile("missing", (local / "down").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_TRANSFER);
  // A download replaces the local file whole, keeping its mode.
  WriteFile(local / "down", "old");
  ::chmod((local / "down").c_str(), 0640);
  ASSERT_TRUE(c->DownloadFile("f", (local / "down").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(ReadFile(local / "down"), "data");
  struct stat st {};
  ::stat((local / "down").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(OnDisk(local.path()), (std::vector<std::string>{"down", "folder", "up"}));
}

// ---- lost links and breaks ------------------------------------------------------------------------

TEST_F(Ctl, ALinkLostMidTransferIsMadeAgainOnceAndTheNextLossEndsTheConnection) {
  auto c = Connect();
  ASSERT_TRUE(Put(*c, "f", "old"));
  WriteDenseFile(local / "big", 1 << 20);
  // The first loss, in an upload: the old file stays, nothing half-written is left.
  ASSERT_TRUE(sim.Command("SIM CUT 100000"));
  EXPECT_FALSE(c->UploadFile((local / "big").c_str(), "f", 0, 0));
  EXPECT_EQ(GetLastError(), 22u);
  const CiHandle handle = static_cast<CiHandle>(c->GetEngineHandle());
  EXPECT_EQ(Get(*c, "f"), "old");  // made again, under the same handle
  EXPECT_EQ(c->GetEngineHandle(), handle);
  EXPECT_EQ(Option(*c, URL_OPT_FAIL_SIDE), URL_FAIL_NONE);
  EXPECT_EQ(OnDisk(sim.Root()), std::vector<std::string>{"f"});
  // The second, in a download: the local file stays as it was.
  ASSERT_TRUE(Put(*c, "big", std::string(300000, 'b')));
  WriteFile(local / "down", "mine");
  ASSERT_TRUE(sim.Command("SIM CUT 70000"));
  EXPECT_FALSE(c->DownloadFile("big", (local / "down").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), 22u);
  EXPECT_EQ(ReadFile(local / "down"), "mine");
  EXPECT_EQ(OnDisk(local.path()), (std::vector<std::string>{"big", "down"}));
  // No third link: the connection has ended.
  EXPECT_FALSE(c->Mkdir("x"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNAL_ERROR);
  EXPECT_EQ(c->GetEngineHandle(), 0u);
  u32 value = 0;
  int size = 4;
  EXPECT_FALSE(c->GetOption(URL_OPT_KIND, &value, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(Exists(sim.Local("/x")));
}

TEST_F(Ctl, ADroppedLinkIsNoticedBeforeTheNextOperationAndReconnectNowTriesOnce) {
  auto c = Connect();
  ASSERT_TRUE(Put(*c, "f", "1"));
  ASSERT_TRUE(sim.Command("SIM DROP"));
  EXPECT_EQ(Entries(*c), std::vector<std::string>{"f:0:1"});
  // Option 72 makes the link again at once; a connection that has made its one reconnect ends.
  ASSERT_TRUE(sim.Command("SIM DROP"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SetWord(*c, URL_OPT_RECONNECT, 3));
  EXPECT_EQ(GetLastError(), ERROR_INTERNAL_ERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
  EXPECT_EQ(c->GetEngineHandle(), 0u);

  auto d = Connect();
  ASSERT_TRUE(sim.Command("SIM DROP"));
  EXPECT_TRUE(SetWord(*d, URL_OPT_RECONNECT, 3));
  EXPECT_EQ(Get(*d, "f"), "1");

  // Without flag 0x100 the operation that meets the lost link fails; the next one makes it again.
  auto e = Connect("", 0);
  ASSERT_TRUE(sim.Command("SIM DROP"));
  EXPECT_FALSE(e->Mkdir("a"));
  EXPECT_EQ(GetLastError(), 22u);
  EXPECT_TRUE(e->Mkdir("a"));
}

TEST_F(Ctl, AnAnswerLaterThanTheReconnectsTimeOutGivesUpTheLink) {
  auto c = Connect();
  ASSERT_TRUE(sim.Command("SIM DROP"));
  ASSERT_TRUE(c->Mkdir("a"));  // made again: answers are now awaited for 2 s
  ASSERT_TRUE(sim.Command("SIM DELAY 2300"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->Mkdir("b"));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2200ms);
  sim.Command("SIM DELAY 0");
}

TEST_F(Ctl, ABreakFromAnotherThreadEndsADownloadAndTheConnection) {
  WriteDenseFile(sim.Local("/big"), 8 << 20);
  WriteFile(local / "down", "mine");
  auto c = Connect();
  EXPECT_FALSE(c->Break());  // nothing runs
  EXPECT_NE(c->GetEngineHandle(), 0u);
  ASSERT_TRUE(sim.Command("SIM DELAY 2"));
  std::atomic<bool> stop{false};
  std::atomic<bool> broke{false};
  std::thread canceller([&] {
    while (!stop.load()) {
      u64 done = 0;
      int size = 8;
      if (c->GetOption(URL_OPT_BYTES_DONE, &done, &size) && done > 0 && c->IsBusy()) {
        broke = c->Break();
        return;
      }
      std::this_thread::yield();
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const BOOL got = c->DownloadFile("big", (local / "down").c_str(), FALSE, 0, 0, 0);
  const DWORD error = GetLastError();
  stop = true;
  canceller.join();
  EXPECT_FALSE(got);
  EXPECT_TRUE(broke.load());
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_FALSE(c->IsBusy());
  EXPECT_EQ(ReadFile(local / "down"), "mine");
  EXPECT_EQ(OnDisk(local.path()), std::vector<std::string>{"down"});
  EXPECT_FALSE(c->ChangeDir("/"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNAL_ERROR);
  sim.Command("SIM DELAY 0");
}

// ---- names ----------------------------------------------------------------------------------------

TEST(CtlNames, ALatin1ControllerWithNamesInLatin1) {
  CtlClientFolder(kCtlClientFolder.c_str());
  TempDir dir("ctl-latin1");
  CtlSimulator sim(dir / "root", "latin1");
  ASSERT_TRUE(sim.Ok());
  WriteFile(sim.Local("/Grüße.txt"), "g");
  WriteFile(sim.Local("/€uro.txt"), "e");  // Latin-1 has no euro sign: never listed, never touched
  auto c = ConnectUrl("127.0.0.1", "", "", static_cast<u16>(sim.Port()), URL_KIND_CTLCOMM, "", nullptr);
  ASSERT_TRUE(SetWord(*c, URL_OPT_UTF8_NAMES, 0));
  EXPECT_EQ(Entries(*c), std::vector<std::string>{"Grüße.txt:0:1"});
  EXPECT_EQ(Get(*c, "Grüße.txt"), "g");
  ASSERT_TRUE(c->Mkdir("Öl"));
  ASSERT_TRUE(c->ChangeDir("Öl"));
  ASSERT_TRUE(Put(*c, "Ärger.txt", "a"));
  EXPECT_EQ(ReadFile(sim.Local("/Öl/Ärger.txt")), "a");
  std::string here;
  ASSERT_TRUE(c->GetCurrentDirString(here));
  EXPECT_EQ(here, "/Öl");
  EXPECT_FALSE(Put(*c, "/€uro.txt", "x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(ReadFile(sim.Local("/€uro.txt")), "e");
  EXPECT_TRUE(c->RemoveTree("/Öl"));
  EXPECT_TRUE(c->Remove("/Grüße.txt"));
  EXPECT_EQ(OnDisk(sim.Root()), std::vector<std::string>{"€uro.txt"});
}

TEST(CtlNames, AUtf8ControllerWithNamesAsBytes) {
  CtlClientFolder(kCtlClientFolder.c_str());
  TempDir dir("ctl-utf8");
  CtlSimulator sim(dir / "root", "utf8");
  ASSERT_TRUE(sim.Ok());
  WriteFile(sim.Local("/€uro.txt"), "e");
  WriteFile(sim.Local("/raw\xff.bin"), "r");  // no UTF-8: its bytes are its name
  auto c = ConnectUrl("127.0.0.1", "", "", static_cast<u16>(sim.Port()), URL_KIND_CTLCOMM, "", nullptr);
  EXPECT_EQ(Option(*c, URL_OPT_UTF8_NAMES), 1u);
  EXPECT_EQ(Entries(*c), (std::vector<std::string>{"raw\xff.bin:0:1", "€uro.txt:0:1"}));
  EXPECT_EQ(Get(*c, "raw\xff.bin"), "r");
  EXPECT_TRUE(c->Rename("raw\xff.bin", "a\\b %41.bin"));  // a backslash is a byte of a name
  EXPECT_EQ(ReadFile(sim.Local("/a\\b %41.bin")), "r");
  ASSERT_TRUE(Put(*c, "neu €.txt", "n"));
  EXPECT_EQ(ReadFile(sim.Local("/neu €.txt")), "n");
  // The same controller read as Latin-1 turns the bytes into other characters, never into
  // another file.
  ASSERT_TRUE(SetWord(*c, URL_OPT_UTF8_NAMES, 0));
  EXPECT_EQ(Entries(*c),
            (std::vector<std::string>{"a\\b %41.bin:0:1", "neu â\u0082¬.txt:0:1", "â\u0082¬uro.txt:0:1"}));
  EXPECT_EQ(Get(*c, "â\u0082¬uro.txt"), "e");
}

}  // namespace
