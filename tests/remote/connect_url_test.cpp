// Connect-by-URL: kinds this version reaches and those it names as not yet reachable, shares and
// drive paths, the share host, the guarded break record and the controller folder.
#include "remote/connect_url.h"
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "tests/support/deadline.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace kpwtest;

// The exception ConnectUrl throws, or a code of 0 when it throws none.
CInternetException Failure(const char* host, const char* start, u32 kind, const char* password = "geheim") {
  try {
    ConnectUrl(host, "anna", password, 0, kind, start, nullptr);
  } catch (const CInternetException& e) {
    return e;
  }
  return CInternetException(0);
}

TEST(ConnectUrl, UnknownKindsAreRefused) {
  for (const u32 kind : {0u, 4u, 8u, 0xFFu, 0x500u}) {
    const CInternetException e = Failure("h", "", kind);
    EXPECT_EQ(e.m_dwError, ERROR_INVALID_PARAMETER) << kind;
    EXPECT_EQ(e.Text(), "") << kind;
  }
}

// Shares go to the server (here a port where nobody listens), never to a local path alike.
TEST(ConnectUrl, SharesThatCannotBeReachedAndDrivePathsFailWithATextAndTouchNothing) {
  TempDir dir("connect-share");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const u16 port = static_cast<u16>(FreeLoopbackPort());
  const auto shareFailure = [&](const char* host, const char* start) {
    try {
      ConnectUrl(host, "anna", "geheim", port, URL_KIND_LOCAL, start, nullptr);
    } catch (const CInternetException& e) {
      return e;
    }
    return CInternetException(0);
  };
  const CInternetException share = shareFailure("127.0.0.1", "daten/dir");
  const CInternetException unc = shareFailure("", "//127.0.0.1/daten/dir");
  const CInternetException drive = Failure("", "C:\\Daten", URL_KIND_LOCAL);
  const CInternetException driveHost = Failure("D:", "", URL_KIND_LOCAL);
  const CInternetException noServer = Failure("//", "", URL_KIND_LOCAL);
  std::filesystem::current_path(before);
  EXPECT_EQ(noServer.m_dwError, 1215u);
  EXPECT_EQ(noServer.Text(), "Es ist kein Server für die Freigabe angegeben.");
  for (const CInternetException* e : {&share, &unc}) {
    EXPECT_EQ(e->m_dwError, ERROR_BAD_NETPATH);
    EXPECT_EQ(e->Text(), "Der Server \"127.0.0.1\" ist nicht erreichbar.");
  }
  EXPECT_EQ(drive.m_dwError, ERROR_INVALID_DRIVE);
  EXPECT_EQ(drive.Text(),
            "Der Pfad:\nC:\\Daten\nhat einen Laufwerksbuchstaben; solche Pfade gibt es hier nicht.");
  EXPECT_EQ(driveHost.m_dwError, ERROR_INVALID_DRIVE);
  for (const CInternetException* e : {&share, &unc, &drive})
    EXPECT_EQ(e->Text().find("geheim"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(ConnectUrl, TheShareHostTakesTheFirstComponentOfTheStartPath) {
  EXPECT_EQ(UrlShareHost("srv", "share/dir"), "srv/share");
  EXPECT_EQ(UrlShareHost("srv", "/share/dir"), "srv/share");
  EXPECT_EQ(UrlShareHost("srv/", "share/dir"), "srv/share");
  EXPECT_EQ(UrlShareHost("srv/a/b", "share/dir"), "srv/a/b");
  EXPECT_EQ(UrlShareHost("\\\\srv", "share\\dir"), "\\\\srv/share");
  EXPECT_EQ(UrlShareHost("srv", ""), "srv");
  EXPECT_EQ(UrlShareHost("C:", "share"), "C:");
  EXPECT_EQ(UrlShareHost("10.0.0.1", "d"), "10.0.0.1/d");
}

TEST(ConnectUrl, TheBreakRecordIsWithdrawnOnEveryWayOut) {
  UrlBreakHandle record;
  record.Publish(URL_KIND_FTP, [](std::uintptr_t) -> BOOL { return TRUE; });
  record.SetHandle(42);
  EXPECT_THROW(ConnectUrl("h", "u", "p", 21, URL_KIND_FTP, "", &record), CInternetException);
  EXPECT_EQ(record.Kind(), 0);
  EXPECT_EQ(record.Handle(), 0u);
  EXPECT_FALSE(BreakUrlConnection(&record));
  TempDir dir("connect-break");
  record.Publish(URL_KIND_FTP, [](std::uintptr_t) -> BOOL { return TRUE; });
  auto c = ConnectUrl("", "", "", 0, URL_KIND_LOCAL, dir.path().c_str(), &record);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(record.Kind(), 0);
  EXPECT_FALSE(BreakUrlConnection(nullptr));
}

TEST(ConnectUrl, BreakAnswersByKind) {
  UrlBreakHandle record;
  static std::atomic<int> asked{0};
  const UrlEngineBreakFn yes = [](std::uintptr_t) -> BOOL {
    ++asked;
    return TRUE;
  };
  const UrlEngineBreakFn no = [](std::uintptr_t) -> BOOL {
    ++asked;
    return FALSE;
  };
  record.Publish(URL_KIND_FTP, no);
  EXPECT_FALSE(record.Break());  // no session yet: nothing to break
  EXPECT_EQ(asked, 0);
  record.SetHandle(7);
  EXPECT_FALSE(record.Break());  // the engine's answer
  record.Publish(URL_KIND_FTP, yes);
  record.SetHandle(7);
  EXPECT_TRUE(BreakUrlConnection(&record));
  record.Publish(URL_KIND_SSH, no);
  record.SetHandle(7);
  EXPECT_TRUE(record.Break());  // asked, whatever the engine says
  record.Publish(URL_KIND_LOCAL, yes);
  record.SetHandle(7);
  EXPECT_FALSE(record.Break());
  EXPECT_EQ(asked, 3);
}

// An engine session that a connect creates and frees; a break on one that is gone would read
// freed memory (the sanitizers' find) or see it dead.
struct Session {
  std::atomic<bool> alive{true};
  std::atomic<int> breaks{0};
};
std::atomic<int> g_deadBreaks{0};

BOOL BreakSession(std::uintptr_t handle) {
  auto* s = reinterpret_cast<Session*>(handle);
  if (!s->alive.load()) ++g_deadBreaks;
  ++s->breaks;
  return TRUE;
}

TEST(ConnectUrl, ABreakFromAnotherThreadNeverReachesASessionThatIsGone) {
  UrlBreakHandle record;
  std::atomic<bool> done{false};
  std::atomic<int> breaks{0};
  std::thread breaker([&] {
    while (!done.load()) {
      if (BreakUrlConnection(&record)) ++breaks;
    }
  });
  int reached = 0;  // breaks that sessions received
  for (int i = 0; i < 2000; ++i) {
    auto session = std::make_unique<Session>();
    record.Publish(URL_KIND_SFTP, BreakSession);
    record.SetHandle(reinterpret_cast<std::uintptr_t>(session.get()));
    // However the threads are scheduled, breaks do come while sessions come and go.
    if (i == 0) {
      EXPECT_TRUE(kpwtest::WaitUntil([&] { return session->breaks.load() > 0; })) << "no break came";
    }
    if (i % 100 == 0) std::this_thread::yield();
    record.Withdraw();  // as ConnectUrl does before the session may go
    session->alive = false;
    reached += session->breaks.load();
  }
  done = true;
  breaker.join();
  EXPECT_EQ(g_deadBreaks.load(), 0);
  // Every break that was made reached a session while it lived, once.
  EXPECT_GT(breaks.load(), 0);
  EXPECT_EQ(breaks.load(), reached);
}

TEST(ConnectUrl, TheControllerFolderIsKeptForTheProcess) {
  EXPECT_EQ(CtlClientFolder(nullptr), "");
  EXPECT_EQ(CtlClientFolder("/opt/ctl"), "/opt/ctl");
  EXPECT_EQ(CtlClientFolder(nullptr), "/opt/ctl");
  const std::string longer = std::string(300, 'x');
  EXPECT_EQ(CtlClientFolder(longer.c_str()).size(), 259u);
  CtlClientFolder("");
}

}  // namespace
