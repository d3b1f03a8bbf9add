// "Kopiwart" rows into sftp:// and smb:// targets, run by the program unattended against sshd and smbd.
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/smb_server.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <string>

namespace {

using namespace kpwtest;

// Each file's inode and change time: a file written, renamed or touched again shows here.
std::string Stamps(const std::string& root) {
  std::string out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat st{};
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    out += entry.path().string().substr(root.size()) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + " ";
  }
  return out;
}

// First run, an unchanged rerun that writes nothing, and a change that rotates a version; the
// target folder as the server keeps it is `served`.
void RunRows(const std::string& target, const std::string& served, const ProgramOptions& options) {
  TempDir dir("kopiwart-remote-program");
  const std::string src = dir / "src";
  Put(src + "/a.txt", "1");
  Put(src + "/sub/b.txt", "B");
  const std::string job = dir / "kw.kpw";
  WriteJobRows(job, {JobRow(src, target, "", "", "", "/KOPIWART")});
  ProgramRun run = RunJobFile(job, options);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Contents(served), "a.txt=1 sub/b.txt=B");
  EXPECT_EQ(MTime(served + "/a.txt"), kT);
  const std::string before = Stamps(served);
  run = RunJobFile(job, options);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Stamps(served), before);
  Put(src + "/a.txt", "2", kT + 60);
  run = RunJobFile(job, options);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Contents(served), "a.txt=2 a.txt.bak0=1 sub/b.txt=B");
  EXPECT_EQ(MTime(served + "/a.txt"), kT + 60);
}

TEST(KopiwartRemoteProgram, RowsIntoAnSftpTarget) {
  if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
  auto server = SshServer::Start();
  ASSERT_TRUE(server);
  const std::string data = server->NewFolder("kw");
  const std::string url =
      "sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" + std::to_string(server->Port()) + data + "/t";
  ProgramOptions options;
  options.env = {{"TAVRIN_SSH_IDENTITY", server->ClientKey()}};
  RunRows(url, data + "/t", options);
  // OpenSSH's own client reads the version the program kept.
  TempDir got("kopiwart-sftp-get");
  std::string out;
  EXPECT_EQ(server->Sftp("get " + data + "/t/a.txt.bak0 " + (got / "v.txt") + "\n", &out), 0) << out;
  EXPECT_EQ(ReadFile(got / "v.txt"), "1");
}

TEST(KopiwartRemoteProgram, RowsIntoAShare) {
  KPW_REQUIRE_SMBD();
  SmbServer& smb = *SmbServer::Shared();
  RunRows(smb.Url("kw-rows"), smb.Root() + "/kw-rows", {});
  const std::string listing = smb.Client("daten", "cd kw-rows; ls");
  EXPECT_NE(listing.find("a.txt.bak0"), std::string::npos) << listing;
  TempDir got("kopiwart-smb-get");
  smb.Client("daten", "get kw-rows\\a.txt " + (got / "a.txt"));
  EXPECT_EQ(ReadFile(got / "a.txt"), "2");
}

// A share compares names without regard to case: README.TXT there is the target of readme.txt,
// never a file without source that is marked and deleted after the days.
TEST(KopiwartRemoteProgram, AShareKeepsTheFileItHoldsUnderAnotherCase) {
  KPW_REQUIRE_SMBD();
  SmbServer& smb = *SmbServer::Shared();
  TempDir dir("kopiwart-fold");
  const std::string served = smb.Root() + "/kw-fold";
  Put(dir / "src/readme.txt", "neu", kT + 60);
  Put(dir / "src/Sub/x.txt", "x");
  Put(served + "/README.TXT", "alt");
  Put(served + "/SUB/X.TXT", "x");
  Put(dir / "src/UPPER.TXT", "u");
  Put(served + "/upper.txt", "u");
  const std::string job = dir / "kw.kpw";
  WriteJobRows(job, {JobRow(dir / "src", smb.Url("kw-fold"), "", "", "", "/KOPIWART")});
  for (const std::int64_t day : {0, 100}) {
    const ProgramRun run =
        RunJobFile(job, {{{"KPW_TEST_NOW", std::to_string(kT + day * 86400)}}, RLIM_INFINITY, kKopiwartTest});
    ASSERT_EQ(run.status, 0) << run.errors;
    std::map<std::string, std::string> folded;  // names in lower case: one entry each, whatever case it has
    for (const auto& [name, text] : FileContents(served)) {
      std::string lower = name;
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      folded[lower] = text;
    }
    EXPECT_EQ(folded, (std::map<std::string, std::string>{
                          {"readme.txt", "neu"}, {"readme.txt.bak0", "alt"}, {"sub/x.txt", "x"}, {"upper.txt", "u"}}))
        << day << ": " << Contents(served);
  }
}

}  // namespace
