// A job file of "Ftp" and "Ftp Del" rows in all three directions, run by the program unattended.
#include "tests/support/ftp_servers.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;

// Runs the rows against one server; the server's folder "in" is the download source, "out" the
// upload target, "copy" the server-to-server target.
void RunRowsAgainst(FtpServer& server) {
  TempDir dir("ftp-program");
  Put(dir / "up/a.txt", "A");
  Put(dir / "up/sub/b.txt", "B");
  Put(server.Root() + "/in/c.txt", "C");
  Put(server.Root() + "/in/deep/d.txt", "D");
  Put(server.Root() + "/out/surplus.txt", "S");
  Put(server.Root() + "/copy/surplus.txt", "S");
  Put(dir / "down/local-only.txt", "L");
  Put(dir / "keep/precious.txt", "P");
  server.Own(server.Root());
  const std::string job = dir / "ftp.kpw";
  WriteJobRows(job, {
                        JobRow(dir / "up", server.Url("out"), "", "", "", "/FTP_DEL"),
                        JobRow(server.Url("in"), dir / "down", "", "", "", "/FTP_DEL"),
                        JobRow(server.Url("in"), server.Url("copy"), "", "", "", "/FTP_DEL"),
                        JobRow(dir / "up", server.Url("plain"), "", "", "", "/FTP"),
                        // A remote source that is not there: nothing is deleted, here or there.
                        JobRow(server.Url("missing"), dir / "keep", "", "", "", "/FTP_DEL"),
                        JobRow(server.Url("missing"), server.Url("copy"), "", "", "", "/FTP_DEL"),
                    });
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 1) << run.errors;  // the last rows failed
  EXPECT_EQ(Contents(server.Root() + "/out"), "a.txt=A sub/b.txt=B");
  EXPECT_EQ(Contents(server.Root() + "/plain"), "a.txt=A sub/b.txt=B");
  EXPECT_EQ(Contents(dir / "down"), "c.txt=C deep/d.txt=D");
  EXPECT_EQ(Contents(server.Root() + "/copy"), "c.txt=C deep/d.txt=D");
  EXPECT_EQ(Contents(dir / "keep"), "precious.txt=P");
  // Only the missing source's rows failed, and said why, without the password.
  const std::string missing = "Kopiwart: Die Quelle konnte nicht vollständig gelesen werden:\n127.0.0.1" +
                              server.Path("missing") + "\nIm Ziel wurde nichts gelöscht.\n";
  EXPECT_EQ(run.errors, missing + missing);
}

TEST(FtpProgram, RowsInAllDirectionsAgainstPyftpdlib) {
  auto server = FtpServer::Python();
  ASSERT_TRUE(server);
  RunRowsAgainst(*server);
}

// vsftpd answers a listing of a missing folder with an empty success.
TEST(FtpProgram, RowsInAllDirectionsAgainstVsftpd) {
  if (!FtpServer::VsftpdMissing().empty()) GTEST_SKIP() << FtpServer::VsftpdMissing();
  auto server = FtpServer::Vsftpd();
  ASSERT_TRUE(server);
  RunRowsAgainst(*server);
}

// A server without SIZE lists 300,000 bytes and sends 600 with a 226: the download fails and
// the older local file stays as it was, with no temporary file beside it.
TEST(FtpProgram, AShortDownloadKeepsTheOldFile) {
  auto server = FtpServer::Python({"nofeat", "short"});
  ASSERT_TRUE(server);
  TempDir dir("ftp-short-program");
  Put(server->Root() + "/src/b.bin", std::string(300000, 'b'));
  Put(dir / "down/b.bin", std::string(5000, 'o'));
  const std::string job = dir / "short.kpw";
  WriteJobRows(job, {JobRow(server->Url("src"), dir / "down", "", "", "", "/FTP")});
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_NE(run.errors.find("Fehler beim Herunterladen von:\n127.0.0.1/src/b.bin\n(Die Verbindung wurde abgebrochen)"),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(Contents(dir / "down"), "b.bin=" + std::string(5000, 'o'));
}

}  // namespace
