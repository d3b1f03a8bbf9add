// The local adapter's share mode against smbd: the server's shares, logins, URL forms, and what smbclient finds of our writes.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/url_file_find.h"
#include "tests/support/files.h"
#include "tests/support/smb_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace kpwtest;

std::unique_ptr<CUrlConnection> Connect(const std::string& host, const std::string& user, const char* start,
                                        const char* password = nullptr) {
  SmbServer& s = *SmbServer::Shared();
  return ConnectUrl(host.c_str(), user.c_str(), password ? password : s.Password(), static_cast<u16>(s.Port()),
                    URL_KIND_LOCAL, start, nullptr);
}

CInternetException Refusal(const std::string& user, const char* password, const char* start) {
  try {
    Connect("127.0.0.1", user, start, password);
  } catch (const CInternetException& e) {
    return e;
  }
  return CInternetException(0);
}

std::vector<std::string> Names(CUrlConnection& c, const char* folder) {
  std::vector<std::string> names;
  CUrlFileFind find(&c);
  if (find.FindFile(folder, URL_FIND_NO_DOTS)) {
    BOOL more;
    do {
      more = find.FindNextFile();
      names.push_back(find.GetFileName() + (find.MatchesMask(URL_ATTR_DIRECTORY) ? "/" : ""));
    } while (more);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Share : public ::testing::Test {
 protected:
  void SetUp() override { KPW_REQUIRE_SMBD(); }
};

TEST_F(Share, TheServerListsItsDiskSharesAndNumericHostsAreServerNames) {
  auto c = Connect("127.0.0.1", SmbServer::Shared()->User(), "");
  std::string url;
  ASSERT_TRUE(c->GetUrlPath(url));
  EXPECT_EQ(url, "smb://127.0.0.1/");
  // Neither the hidden share nor IPC$.
  EXPECT_EQ(Names(*c, "/"), (std::vector<std::string>{"daten/", "gast/"}));
  EXPECT_EQ(Names(*c, "/g*"), std::vector<std::string>{"gast/"});
  EXPECT_FALSE(c->Mkdir("/neu"));  // no share is made
  EXPECT_TRUE(c->ChangeDir("gast"));
  EXPECT_EQ(Names(*c, ""), std::vector<std::string>{"readme.txt"});
}

TEST_F(Share, LoginsAreCheckedAtOnceAndGuestsReachWhatGuestsMay) {
  const std::string user = SmbServer::Shared()->User();
  const CInternetException wrong = Refusal(user, "falsch", "/daten");
  EXPECT_EQ(wrong.m_dwError, ERROR_LOGON_FAILURE);
  EXPECT_EQ(wrong.Text(),
            "Die Anmeldung an \"smb://127.0.0.1/daten\" wurde abgelehnt: Benutzername oder Kennwort sind falsch, "
            "oder der Benutzer darf die Freigabe nicht öffnen.");
  const CInternetException missing = Refusal(user, nullptr, "/nichts/da");
  EXPECT_EQ(missing.m_dwError, ERROR_BAD_NET_NAME);
  EXPECT_EQ(missing.Text(), "Die Freigabe \"smb://127.0.0.1/nichts\" gibt es nicht.");
  // Without a user: a guest, who may read "gast" but not open "daten".
  EXPECT_EQ(Refusal("", "", "/daten").m_dwError, ERROR_LOGON_FAILURE);
  auto guest = Connect("127.0.0.1", "", "/gast", "");
  char text[32];
  EXPECT_EQ(guest->DownloadMemory("readme.txt", text, sizeof text, 0, 0, 0), 9);
  EXPECT_EQ(std::string(text, 9), "lies mich");
  EXPECT_FALSE(guest->UploadMemory("neu.txt", "x", 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // "domain;user" and "domain\user" name the same user.
  EXPECT_NO_THROW(Connect("127.0.0.1", "WORKGROUP;" + user, "/daten"));
  EXPECT_NO_THROW(Connect("127.0.0.1", "WORKGROUP\\" + user, "/daten"));
}

TEST_F(Share, EveryUrlFormReachesTheShareAndSmbclientFindsWhatWeWrote) {
  SmbServer& s = *SmbServer::Shared();
  TempDir local("share-local");
  WriteFile(s.Root() + "/form/by-smbclient.txt", "");
  // Server and share in the host, in the start path, or after an empty host (file:////server/share).
  for (const auto& [host, start] : std::vector<std::pair<std::string, std::string>>{
           {"127.0.0.1/daten", "/daten/form"}, {"127.0.0.1", "daten/form"}, {"", "//127.0.0.1/daten/form"}}) {
    auto c = Connect(host, s.User(), start.c_str());
    std::string here;
    EXPECT_TRUE(c->GetCurrentDirString(here));
    EXPECT_EQ(here, "/daten/form") << host << " " << start;
    EXPECT_EQ(std::string(c->GetUrlPrefix()) + c->GetHost(), "smb://127.0.0.1");
  }
  // Names with bytes that URLs and the library read otherwise ("%", "@", "#", ";", blanks, umlauts).
  auto c = Connect("127.0.0.1", s.User(), "/daten/form");
  char text[16];
  const std::string odd = "Grüße 100% sicher a@b #1;x.txt";
  ASSERT_TRUE(c->UploadMemory(odd.c_str(), "Inhalt", 6, 0, 0)) << GetLastError();
  ASSERT_TRUE(c->Mkdir("Ordner mit Ä"));
  const std::string listing = s.Client("daten", "cd form; ls");
  EXPECT_NE(listing.find(odd), std::string::npos) << listing;
  EXPECT_NE(listing.find("Ordner mit Ä"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("~kpw"), std::string::npos) << listing;  // no temporary name is left
  EXPECT_EQ(ReadFile(s.Root() + "/form/" + odd), "Inhalt");
  // What smbclient puts comes down whole.
  WriteFile(local / "src.bin", std::string(200000, 'z'));
  ASSERT_EQ(s.Client("daten", "cd form; lcd " + local.path() + "; put src.bin von-smbclient.bin").find("failed"),
            std::string::npos);
  ASSERT_TRUE(c->DownloadFile("von-smbclient.bin", (local / "down.bin").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(ReadFile(local / "down.bin"), std::string(200000, 'z'));
  // "\\" separates as "/" does: a server's names never hold it.
  EXPECT_TRUE(c->ChangeDir("\\daten\\form\\Ordner mit Ä"));
  EXPECT_TRUE(c->ChangeDir("..\\"));
  EXPECT_EQ(c->DownloadMemory(odd.c_str(), text, sizeof text, 0, 0, 0), 6);
  // Close frees the context: nothing works any more, and says so.
  c->Close();
  EXPECT_FALSE(c->ChangeDir("/daten"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Share, NameKeysFoldAsTheServerComparesNamesAndThisMachineKeepsThemExact) {
  SmbServer& s = *SmbServer::Shared();
  auto c = Connect("127.0.0.1", s.User(), "/daten");
  ASSERT_TRUE(c->Mkdir("fold-keys"));
  ASSERT_TRUE(c->UploadMemory("fold-keys/Straße-ä.txt", "x", 1, 0, 0));
  char text[4];
  // The server finds the file under the folded name too: both names are one entry there.
  EXPECT_EQ(c->DownloadMemory("fold-keys/STRAßE-Ä.TXT", text, sizeof text, 0, 0, 0), 1);
  EXPECT_EQ(c->NameKey("/daten/fold-keys", "Straße-ä.txt"), "STRAßE-Ä.TXT");
  EXPECT_EQ(c->NameKey("/daten/fold-keys", "a\xe9" "b"), "A\xe9" "B");  // a byte that is no UTF-8 stays
  TempDir local("share-keys");
  auto here = ConnectUrl("", "", "", 0, URL_KIND_LOCAL, local.path().c_str(), nullptr);
  EXPECT_EQ(here->NameKey(local.path().c_str(), "Straße-ä.txt"), "Straße-ä.txt");
}

}  // namespace
