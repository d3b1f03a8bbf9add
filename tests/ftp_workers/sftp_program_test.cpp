// "Ftp" and "Ftp Del" rows with sftp:// cells, run by the program unattended against OpenSSH's sshd.
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using namespace kpwtest;

TEST(SftpProgram, RowsInAllDirectionsAgainstSshd) {
  if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
  auto server = SshServer::Start();
  ASSERT_TRUE(server);
  TempDir dir("sftp-program");
  const std::string data = server->NewFolder("rows");
  Put(dir / "up/a.txt", "A");
  Put(dir / "up/sub/b.txt", "B");
  Put(data + "/in/c.txt", "C");
  Put(data + "/in/deep/d.txt", "D");
  Put(data + "/out/surplus.txt", "S");
  Put(data + "/copy/surplus.txt", "S");
  Put(dir / "down/local-only.txt", "L");
  Put(dir / "keep/precious.txt", "P");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data)) SshServer::Own(entry.path());
  // The URLs carry no password: the program logs in with the key (the test user's password is
  // longer than a URL cell holds).
  const auto url = [&](const std::string& rel) {
    return "sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" + std::to_string(server->Port()) + data +
           "/" + rel;
  };
  const std::string job = dir / "sftp.kpw";
  WriteJobRows(job, {
                        JobRow(dir / "up", url("out"), "", "", "", "/FTP_DEL"),
                        JobRow(url("in"), dir / "down", "", "", "", "/FTP_DEL"),
                        JobRow(url("in"), url("copy"), "", "", "", "/FTP_DEL"),
                        JobRow(dir / "up", url("plain/new"), "", "", "", "/FTP"),
                        // A remote source that is not there: nothing local is deleted.
                        JobRow(url("missing"), dir / "keep", "", "", "", "/FTP_DEL"),
                    });
  ProgramOptions options;
  options.env = {{"TAVRIN_SSH_IDENTITY", server->ClientKey()}};
  const ProgramRun run = RunJobFile(job, options);
  EXPECT_EQ(run.status, 1) << run.errors;  // the last row failed
  EXPECT_EQ(Contents(data + "/out"), "a.txt=A sub/b.txt=B");
  EXPECT_EQ(Contents(data + "/plain/new"), "a.txt=A sub/b.txt=B");
  EXPECT_EQ(Contents(dir / "down"), "c.txt=C deep/d.txt=D");
  EXPECT_EQ(Contents(data + "/copy"), "c.txt=C deep/d.txt=D");
  EXPECT_EQ(Contents(dir / "keep"), "precious.txt=P");
  EXPECT_EQ(run.errors, "Kopiwart: Die Quelle konnte nicht vollständig gelesen werden:\n127.0.0.1" + data +
                            "/missing\n(Eine Datei wurde nicht gefunden)\nIm Ziel wurde nichts gelöscht.\n");
  // OpenSSH's own client reads what the program left.
  std::string listing;
  EXPECT_EQ(server->Sftp("get " + data + "/out/sub/b.txt " + (dir / "b-again.txt") + "\n", &listing), 0) << listing;
  EXPECT_EQ(ReadFile(dir / "b-again.txt"), "B");
}

// A file cut on the server while the program reads it: the download fails and the older local
// file stays, with no temporary file beside it.
TEST(SftpProgram, AFileCutWhileReadKeepsTheOldFile) {
  if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
  auto server = SshServer::Start();
  ASSERT_TRUE(server);
  TempDir dir("sftp-cut");
  const std::string data = server->NewFolder("cut");
  const std::string big = data + "/in/big.bin";
  Put(big, "");
  std::filesystem::resize_file(big, 256u << 20);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data)) SshServer::Own(entry.path());
  Put(dir / "down/big.bin", "old");
  const std::string job = dir / "cut.kpw";
  WriteJobRows(job, {JobRow("sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" +
                                std::to_string(server->Port()) + data + "/in",
                            dir / "down", "", "", "", "/FTP")});
  ProgramOptions options;
  options.env = {{"TAVRIN_SSH_IDENTITY", server->ClientKey()}};
  const pid_t pid = StartJobFile(job, options);
  // Once a MiB has arrived in the temporary file, the server's file is cut to one MiB.
  bool cut = false;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       !cut && std::chrono::steady_clock::now() < until;) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir / "down", ec)) {
      if (e.path().filename().string().rfind(".big.bin.~kpw", 0) == 0 && e.file_size(ec) >= (1u << 20)) {
        std::filesystem::resize_file(big, 1u << 20);
        cut = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const ProgramRun run = FinishJobFile(pid, job);
  ASSERT_TRUE(cut);
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_NE(run.errors.find("(Die Datei wurde während des Kopierens geändert; das Ziel bleibt, wie es war.)"),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(Contents(dir / "down"), "big.bin=old");
}

// "Ftp Del" downloading: a local file where the source has a folder goes only once that folder was
// listed whole, and the row says what it deleted; a folder that cannot be read leaves the file.
TEST(SftpProgram, ALocalFileGivesWayToASourceFolderOnlyOnceItWasListed) {
  if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
  auto server = SshServer::Start();
  ASSERT_TRUE(server);
  TempDir dir("sftp-give-way");
  const std::string data = server->NewFolder("give-way");
  Put(data + "/open/a.txt/inner.txt", "inner");
  Put(data + "/open/top.txt", "top");
  Put(data + "/locked/b.txt/hidden.txt", "hidden");
  Put(data + "/locked/top.txt", "top");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data)) SshServer::Own(entry.path());
  // The test user may not read this folder (root's, mode 000).
  ASSERT_EQ(::chown((data + "/locked/b.txt").c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod((data + "/locked/b.txt").c_str(), 0), 0);
  Put(dir / "one/a.txt", "file");
  Put(dir / "one/stale.txt", "stale");
  Put(dir / "two/b.txt", "file");
  Put(dir / "two/stale.txt", "stale");
  const auto url = [&](const std::string& rel) {
    return "sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" + std::to_string(server->Port()) + data +
           "/" + rel;
  };
  const std::string job = dir / "give-way.kpw";
  WriteJobRows(job, {JobRow(url("open"), dir / "one", "", "", "", "/FTP_DEL"),
                     JobRow(url("locked"), dir / "two", "", "", "", "/FTP_DEL")});
  ProgramOptions options;
  options.env = {{"TAVRIN_SSH_IDENTITY", server->ClientKey()}};
  const ProgramRun run = RunJobFile(job, options);
  ::chmod((data + "/locked/b.txt").c_str(), 0755);
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_EQ(Contents(dir / "one"), "a.txt/inner.txt=inner top.txt=top");
  EXPECT_EQ(Contents(dir / "two"), "b.txt=file top.txt=top");
  EXPECT_NE(run.errors.find("Die Datei " + (dir / "one/a.txt") +
                            " wurde gelöscht, weil die Quelle an ihrer Stelle einen Ordner hat."),
            std::string::npos)
      << run.errors;
  EXPECT_NE(run.errors.find("127.0.0.1" + data + "/locked/b.txt\n("), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find(")\nIm Zielordner dazu wurde nichts gelöscht."), std::string::npos) << run.errors;
  // The row deleted stale.txt: it never says that nothing was deleted.
  EXPECT_EQ(run.errors.find("Im Ziel wurde nichts gelöscht"), std::string::npos) << run.errors;
}

// A folder the server will not list (write-only, an upload drop) shows no links: a plain "Ftp" row
// still copies into it and below it.
TEST(SftpProgram, APlainRowCopiesIntoAFolderTheServerWillNotList) {
  if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
  auto server = SshServer::Start();
  ASSERT_TRUE(server);
  TempDir dir("sftp-drop");
  const std::string data = server->NewFolder("drop");
  std::filesystem::create_directories(data + "/in");
  ASSERT_EQ(::chmod((data + "/in").c_str(), 0733), 0);  // root's: the test user may write, not list
  Put(dir / "up/a.txt", "A");
  Put(dir / "up/sub/b.txt", "B");
  const std::string job = dir / "drop.kpw";
  WriteJobRows(job, {JobRow(dir / "up",
                            "sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" +
                                std::to_string(server->Port()) + data + "/in",
                            "", "", "", "/FTP")});
  ProgramOptions options;
  options.env = {{"TAVRIN_SSH_IDENTITY", server->ClientKey()}};
  const ProgramRun run = RunJobFile(job, options);
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Contents(data + "/in"), "a.txt=A sub/b.txt=B");
}

// A path that begins with "." lies below the folder the server logs in to.
TEST(SftpProgram, ADotPathIsTakenBelowTheLoginFolder) {
  if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
  auto server = SshServer::Start();
  ASSERT_TRUE(server);
  TempDir dir("sftp-dot");
  Put(dir / "up/a.txt", "A");
  const std::string name = "kpw-dot-" + std::to_string(::getpid());
  const std::string job = dir / "dot.kpw";
  WriteJobRows(job, {JobRow(dir / "up", "sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" +
                                            std::to_string(server->Port()) + "/./" + name + "/sub",
                            "", "", "", "/FTP")});
  ProgramOptions options;
  options.env = {{"TAVRIN_SSH_IDENTITY", server->ClientKey()}};
  const ProgramRun run = RunJobFile(job, options);
  const std::string landed = server->Home() + "/" + name;
  const std::string contents = Contents(landed + "/sub");
  std::filesystem::remove_all(landed);
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(contents, "a.txt=A");
  EXPECT_FALSE(Exists("/" + name));
}

}  // namespace
