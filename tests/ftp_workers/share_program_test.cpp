// "Ftp" and "Ftp Del" rows with smb:// cells, run by the program unattended against smbd (and pyftpdlib).
#include "tests/support/ftp_servers.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/smb_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

using namespace kpwtest;

TEST(ShareProgram, RowsInAllDirectionsWithSharesAndRefusedCells) {
  KPW_REQUIRE_SMBD();
  SmbServer& smb = *SmbServer::Shared();
  auto ftp = FtpServer::Python();
  ASSERT_TRUE(ftp);
  TempDir dir("share-program");
  const std::string share = smb.Root();
  Put(dir / "up/a.txt", "A");
  Put(dir / "up/sub/b.txt", "B");
  Put(share + "/in/c.txt", "C");
  Put(share + "/in/deep/d.txt", "D");
  Put(share + "/out/surplus.txt", "S");
  Put(dir / "down/local-only.txt", "L");
  Put(ftp->Root() + "/f/e.txt", "E");
  const std::string port = std::to_string(smb.Port());
  const std::string job = dir / "share.kpw";
  WriteJobRows(job, {
                        JobRow(dir / "up", smb.Url("out"), "", "", "", "/FTP_DEL"),
                        JobRow(smb.Url("in"), dir / "down", "", "", "", "/FTP_DEL"),
                        JobRow(smb.Url("in"), smb.Url("copy/of/in"), "", "", "", "/FTP"),
                        JobRow(ftp->Url("f"), smb.Url("from-ftp"), "", "", "", "/FTP"),
                        JobRow(dir / "up/sub",
                               "file://" + smb.User() + ":geheim@127.0.0.1:" + port + "/daten/per-file", "", "", "",
                               "/FTP"),
                        // A share needs a user, and a refused login says so, without the password.
                        JobRow(dir / "up", "smb://127.0.0.1:" + port + "/daten/anonym", "", "", "", "/FTP"),
                        // An smb:// cell without a server names no local folder either.
                        JobRow(dir / "up", "smb://" + smb.User() + ":p@" + (dir / "lokal"), "", "", "", "/FTP"),
                        JobRow(dir / "up", "smb://" + smb.User() + ":falsch@127.0.0.1:" + port + "/daten/x", "", "",
                               "", "/FTP"),
                    });
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_EQ(Contents(share + "/out"), "a.txt=A sub/b.txt=B");
  EXPECT_EQ(Contents(dir / "down"), "c.txt=C deep/d.txt=D");
  EXPECT_EQ(Contents(share + "/copy/of/in"), "c.txt=C deep/d.txt=D");
  EXPECT_EQ(Contents(share + "/from-ftp"), "e.txt=E");
  EXPECT_EQ(Contents(share + "/per-file"), "b.txt=B");
  EXPECT_FALSE(std::filesystem::exists(share + "/anonym"));
  EXPECT_FALSE(std::filesystem::exists(share + "/x"));
  EXPECT_FALSE(std::filesystem::exists(dir / "lokal"));
  EXPECT_EQ(run.errors,
            "Kopiwart: Falscher User-Namen\n"
            "Kopiwart: Falscher FTP-Server-Name\n"
            "Kopiwart: Die Anmeldung an \"smb://127.0.0.1/daten\" wurde abgelehnt: Benutzername oder Kennwort sind "
            "falsch, oder der Benutzer darf die Freigabe nicht öffnen.\n");
  // smbclient sees the upload as the program left it.
  const std::string listing = smb.Client("daten", "cd out\\sub; ls");
  EXPECT_NE(listing.find("b.txt"), std::string::npos) << listing;
}

// A share compares names without regard to case: the upload of readme.txt replaces README.TXT,
// which is then no surplus beside it.
TEST(ShareProgram, FtpDelKeepsTheFileItsUploadReplacedUnderAnotherCase) {
  KPW_REQUIRE_SMBD();
  SmbServer& smb = *SmbServer::Shared();
  TempDir dir("share-fold");
  const std::string served = smb.Root() + "/fold";
  Put(dir / "src/readme.txt", "neu", kT + 60);
  Put(dir / "src/Sub/x.txt", "x");
  Put(served + "/README.TXT", "alt");
  Put(served + "/SUB/X.TXT", "x");
  Put(served + "/surplus.txt", "s");
  const std::string job = dir / "fold.kpw";
  WriteJobRows(job, {JobRow(dir / "src", smb.Url("fold"), "", "", "", "/FTP_DEL")});
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 0) << run.errors;
  std::string folded;
  for (const char ch : Contents(served)) folded += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(folded, "readme.txt=neu sub/x.txt=x") << Contents(served);
}

}  // namespace
