// Links on a server below a row's target: "Ftp", "Ftp Del" and "Kopiwart" rows never enter them,
// write through them or delete through them; a link where the source has a file or folder of its
// name is left as it is, named in the row's note, and the row fails. OpenSSH's sshd through the
// program, vsftpd (which lists links as "l" lines) through the workers.
#include "jobs/job_model.h"
#include "jobs/workers/remote_workers.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

constexpr char kLinkNote[] = "In diese Verknüpfungen auf Ordner wurde nichts geschrieben und darin nichts gelöscht:";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// A served tree: "outside" with two files, and each target folder holding "ln" and "data.txt" as
// links to it (the source has a folder "ln" and a file "data.txt"); "from" is a remote source.
void ServeLinks(const std::string& root, const std::vector<std::string>& targets) {
  Put(root + "/outside/o1.txt", "o1");
  Put(root + "/outside/secret.txt", "secret");
  for (const std::string& t : targets) {
    fs::create_directories(root + "/" + t);
    ASSERT_EQ(::symlink("../outside", (root + "/" + t + "/ln").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", (root + "/" + t + "/data.txt").c_str()), 0);
  }
  Put(root + "/from/ln/new.txt", "new");
  Put(root + "/from/data.txt", "data");
  Put(root + "/from/plain.txt", "plain");
}

void LocalSource(const std::string& src) {
  Put(src + "/ln/new.txt", "new");
  Put(src + "/data.txt", "data");
  Put(src + "/plain.txt", "plain");
}

// The outside folder as it was, and each target with its links and the plain file only.
void ExpectUntouched(const std::string& root, const std::vector<std::string>& targets) {
  EXPECT_EQ(Listing(root + "/outside"), "o1.txt secret.txt");
  EXPECT_EQ(Contents(root + "/outside"), "o1.txt=o1 secret.txt=secret");
  for (const std::string& t : targets) {
    EXPECT_TRUE(fs::is_symlink(root + "/" + t + "/ln")) << t;
    EXPECT_TRUE(fs::is_symlink(root + "/" + t + "/data.txt")) << t;
    EXPECT_EQ(Contents(root + "/" + t), "plain.txt=plain") << t;
  }
}

TEST(RemoteLinks, SftpRowsNeverReachThroughALinkOnTheServer) {
  if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
  auto server = SshServer::Start();
  ASSERT_TRUE(server);
  TempDir dir("sftp-links");
  const std::string data = server->NewFolder("links");
  const std::vector<std::string> targets{"up", "kw", "s2s"};
  ServeLinks(data, targets);
  for (const auto& entry : fs::recursive_directory_iterator(data)) SshServer::Own(entry.path());
  LocalSource(dir / "src");
  // The download's local target holds a link of its own.
  Put(dir / "mine/m.txt", "m");
  fs::create_directories(dir / "down");
  ASSERT_EQ(::symlink((dir / "mine").c_str(), (dir / "down/ln").c_str()), 0);
  const auto url = [&](const std::string& rel) {
    return "sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" + std::to_string(server->Port()) + data +
           "/" + rel;
  };
  const std::string job = dir / "links.kpw";
  WriteJobRows(job, {
                        JobRow(dir / "src", url("up"), "", "", "", "/FTP_DEL"),
                        JobRow(dir / "src", url("kw"), "", "", "", "/KOPIWART"),
                        JobRow(url("from"), url("s2s"), "", "", "", "/FTP_DEL"),
                        JobRow(url("from"), dir / "down", "", "", "", "/FTP_DEL"),
                    });
  ProgramOptions options;
  options.env = {{"TAVRIN_SSH_IDENTITY", server->ClientKey()}};
  const ProgramRun run = RunJobFile(job, options);
  EXPECT_EQ(run.status, 1) << run.errors;  // the last row failed, as each did
  ExpectUntouched(data, targets);
  EXPECT_EQ(Contents(dir / "down"), "data.txt=data plain.txt=plain");
  EXPECT_EQ(Contents(dir / "mine"), "m.txt=m");
  // One note a row, naming each link the row left alone.
  EXPECT_EQ(Count(run.errors, kLinkNote), 4u) << run.errors;
  for (const std::string& t : targets) {
    EXPECT_NE(run.errors.find("127.0.0.1" + data + "/" + t + "/ln\n"), std::string::npos) << t << run.errors;
    EXPECT_NE(run.errors.find("127.0.0.1" + data + "/" + t + "/data.txt\n"), std::string::npos) << t << run.errors;
  }
  EXPECT_NE(run.errors.find(dir / "down/ln"), std::string::npos) << run.errors;
}

TEST(RemoteLinks, FtpRowsLeaveALinkOfTheServerAsItIs) {
  if (!FtpServer::VsftpdMissing().empty()) GTEST_SKIP() << FtpServer::VsftpdMissing();
  auto server = FtpServer::Vsftpd();
  ASSERT_TRUE(server);
  const std::string root = server->Root();
  const std::vector<std::string> targets{"up", "plain", "kw", "s2s"};
  ServeLinks(root, targets);
  for (const auto& entry : fs::directory_iterator(root)) server->Own(entry.path());
  TempDir local("ftp-links");
  LocalSource(local / "src");
  RunRig rig;
  const ScopedTestEnv env;
  EXPECT_EQ(rig.Call(RunFtp, local / "src", server->Url("up"), RUN_DELETE_SURPLUS), JOB_FAILED);
  EXPECT_EQ(rig.Call(RunFtp, local / "src", server->Url("plain")), JOB_FAILED);
  EXPECT_EQ(rig.Call(RunKopiwart, local / "src", server->Url("kw")), JOB_FAILED);
  rig.state.Carry().Release(false);
  EXPECT_EQ(rig.Call(RunFtp, server->Url("from"), server->Url("s2s"), RUN_DELETE_SURPLUS), JOB_FAILED);
  ExpectUntouched(root, targets);
  std::string notes;
  for (const std::string& note : rig.state.TakeNotes()) notes += note + "\n";
  EXPECT_EQ(Count(notes, kLinkNote), targets.size()) << notes;
  for (const std::string& t : targets)
    EXPECT_NE(notes.find("127.0.0.1/pub/" + t + "/ln\n"), std::string::npos) << t << notes;
  EXPECT_EQ(rig.TakeBoxes(), "");
}

}  // namespace
