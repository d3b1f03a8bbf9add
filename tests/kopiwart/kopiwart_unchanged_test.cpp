// "Kopiwart" through the program into every kind of target: four runs with edits keep the right
// versions, and three unchanged runs after them write nothing and leave every version as it was,
// whatever the files' times (minutes ago, in the future, before 1970, after 2107).
#include "tests/support/fat_images.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kpwtest;

constexpr std::int64_t kDay = 86400;

std::int64_t Utc(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  return static_cast<std::int64_t>(::timegm(&tm));
}

// One source file through the edits: its version k (1-4) has its own bytes and time. Files whose
// time a target may not hold change their size with each edit, so that the edit shows there too.
struct Sample {
  std::string name;
  std::int64_t first;  // time of version 1; each later one 10 seconds on, all within one minute
  bool sizeChanges;
  std::string Bytes(int k) const { return std::string(40000 + (sizeChanges ? k : 0), static_cast<char>('0' + k)); }
  std::int64_t Time(int k) const { return first + 10 * (k - 1); }
};

std::vector<Sample> Samples() {
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  // Ten seconds into a minute: a listing that shows only hours and minutes cuts the seconds off.
  const auto minute = [](std::int64_t t) { return t - t % 60 + 10; };
  return {{"recent.bin", minute(now - 3 * 3600), false},
          {"future.bin", minute(now + 200 * kDay), false},
          {"old.bin", Utc(1965, 6, 8) + 10, true},
          {"far.bin", Utc(2110, 3, 1) + 10, true},
          {"sub/inner.bin", minute(now - 5 * kDay), false}};
}

// Each file's inode and change time: a file written, renamed or touched again shows here.
std::string Stamps(const std::string& root) {
  std::string out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0) continue;
    out += entry.path().string().substr(root.size()) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + " ";
  }
  return out;
}

// The commands of a journal that change something on the server.
std::string WritingCommands(const std::string& journal) {
  static const std::regex writing(R"(\b(STOR|STOU|APPE|DELE|RNFR|RNTO|MKD|RMD|MFMT|SITE|MDTM \d{14}) )");
  std::istringstream lines(journal);
  std::string out;
  for (std::string line; std::getline(lines, line);)
    if (std::regex_search(line, writing)) out += line + "\n";
  return out;
}

// A target of the rows: where they write, what it holds, and how writes would show.
struct Target {
  std::string url;
  ProgramOptions options;
  std::function<std::map<std::string, std::string>()> files;  // every file below the row's folder
  std::function<std::string()> state;    // changes whenever anything is written there
  std::function<std::string()> journal;  // the server's commands so far, where it keeps them
  std::function<void()> check = [] {};   // the file system's own check
};

// Every file below the folder /kw of an ext4 image, as debugfs reads it.
std::map<std::string, std::string> Ext4Files(const std::string& image, const std::string& folder = "/kw") {
  std::map<std::string, std::string> out;
  std::istringstream lines(Shell("debugfs -R " + Quote("ls -p " + folder) + " " + Quote(image) + " 2>/dev/null"));
  for (std::string line; std::getline(lines, line);) {
    // /inode/mode/uid/gid/name/size/
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '/');) f.push_back(field);
    if (f.size() < 6 || f[1] == "0" || f[5] == "." || f[5] == "..") continue;  // inode 0: a freed entry
    const std::string path = folder + "/" + f[5];
    if ((std::stoi(f[2], nullptr, 8) & 0170000) == 040000) {
      for (const auto& [name, bytes] : Ext4Files(image, path)) out[f[5] + "/" + name] = bytes;
    } else {
      out[f[5]] = Shell("debugfs -R " + Quote("cat " + path) + " " + Quote(image) + " 2>/dev/null");
    }
  }
  return out;
}

class KopiwartUnchanged : public ::testing::TestWithParam<std::string> {
 protected:
  // Makes the target; false with skip set when it cannot run here.
  bool Make(Target& t) {
    const std::string kind = GetParam();
    if (kind == "local") {
      const std::string root = m_dir / "dst";
      t.url = root;
      t.files = [root] { return FileContents(root); };
      t.state = [root] { return Stamps(root); };
      return true;
    }
    if (kind == "pyftpdlib" || kind == "vsftpd") {
      if (kind == "vsftpd" && !FtpServer::VsftpdMissing().empty()) {
        m_skip = FtpServer::VsftpdMissing();
        return false;
      }
      m_ftp = kind == "vsftpd" ? FtpServer::Vsftpd() : FtpServer::Python({"journal"});
      if (!m_ftp) return false;
      FtpServer* server = m_ftp.get();
      const std::string root = server->Root() + "/t";
      t.url = server->Url("t");
      t.files = [root] { return FileContents(root); };
      t.state = [root] { return Stamps(root); };
      t.journal = [server] { return server->Journal(); };
      return true;
    }
    if (kind == "sftp") {
      if (!SshServer::Missing().empty()) {
        m_skip = SshServer::Missing();
        return false;
      }
      m_ssh = SshServer::Start();
      if (!m_ssh) return false;
      const std::string data = m_ssh->NewFolder("kw");
      const std::string root = data + "/t";
      t.url = "sftp://" + std::string(SshServer::kUser) + "@127.0.0.1:" + std::to_string(m_ssh->Port()) + root;
      t.options.env = {{"TAVRIN_SSH_IDENTITY", m_ssh->ClientKey()}};
      t.files = [root] { return FileContents(root); };
      t.state = [root] { return Stamps(root); };
      return true;
    }
    if (kind == "fat") {
      const std::string image = MakeFatImage(m_dir, "fat.img", 16, 16384);
      t.url = DiskUrl(image, "kw");
      t.files = [image] {
        std::map<std::string, std::string> out;
        for (const std::string& path : MdirAll(image))
          if (path.starts_with("/kw/") && !path.ends_with("/")) out[path.substr(4)] = Mtype(image, path);
        return out;
      };
      t.state = [image] { return Shell("sha256sum " + Quote(image)); };
      t.check = [image] { EXPECT_FSCK_CLEAN(image); };
      return true;
    }
    if (kind == "ext4") {
      if (!HaveTool("mke2fs") || !HaveTool("debugfs") || !HaveTool("e2fsck")) {
        m_skip = "e2fsprogs is missing";
        return false;
      }
      const std::string image = m_dir / "ext4.img";
      MustRun("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 16M");
      t.url = DiskUrl(image, "kw");
      t.files = [image] { return Ext4Files(image); };
      // Every file's inode, change and write times.
      t.state = [image] {
        std::string out;
        for (const auto& [name, bytes] : Ext4Files(image))
          out += name + ":" + Shell("debugfs -R " + Quote("stat /kw/" + name) + " " + Quote(image) +
                                    " 2>/dev/null | grep -E '^Inode:|time:'");
        return out;
      };
      t.check = [image] {
        EXPECT_EQ(Shell("e2fsck -fn " + Quote(image) + " 2>&1 | grep -v '^Pass \\|^e2fsck \\| files (' ; true"), "");
      };
      return true;
    }
    return false;
  }

  TempDir m_dir{"kopiwart-unchanged", ImageBase()};
  std::unique_ptr<FtpServer> m_ftp;
  std::unique_ptr<SshServer> m_ssh;
  std::string m_skip;
};

TEST_P(KopiwartUnchanged, FourEditsThenThreeUnchangedRunsKeepEveryVersion) {
  Target target;
  if (!Make(target)) {
    if (!m_skip.empty()) GTEST_SKIP() << m_skip;
    FAIL() << "the target could not be made";
  }
  const std::string src = m_dir / "src";
  const std::string job = m_dir / "kw.kpw";
  WriteJobRows(job, {JobRow(src, target.url, "", "", "", "/KOPIWART")});
  const std::vector<Sample> samples = Samples();
  for (int k = 1; k <= 4; ++k) {
    for (const Sample& s : samples) Put(src + "/" + s.name, s.Bytes(k), s.Time(k));
    const ProgramRun run = RunJobFile(job, target.options);
    ASSERT_EQ(run.status, 0) << "edit " << k << ": " << run.errors;
  }
  std::map<std::string, std::string> expected;
  for (const Sample& s : samples) {
    expected[s.name] = s.Bytes(4);
    for (int k = 1; k <= 3; ++k) expected[s.name + ".bak" + std::to_string(3 - k)] = s.Bytes(k);
  }
  const auto same = [&](const char* when) {
    const std::map<std::string, std::string> files = target.files();
    std::string names;
    for (const auto& [name, bytes] : files) names += name + " ";
    EXPECT_EQ(files.size(), expected.size()) << when << ": " << names;
    for (const auto& [name, bytes] : expected) {
      const auto it = files.find(name);
      if (it == files.end()) {
        ADD_FAILURE() << when << ": " << name << " is missing";
        continue;
      }
      EXPECT_TRUE(it->second == bytes) << when << ": " << name << " holds " << it->second.size() << " bytes of '"
                                       << it->second.substr(0, 1) << "', not version " << bytes.substr(0, 1);
    }
  };
  same("after the edits");
  const std::string before = target.state();
  const std::size_t journalBefore = target.journal ? target.journal().size() : 0;
  for (int run = 1; run <= 3; ++run) {
    const ProgramRun r = RunJobFile(job, target.options);
    ASSERT_EQ(r.status, 0) << "unchanged run " << run << ": " << r.errors;
    EXPECT_EQ(r.errors, "") << "unchanged run " << run;
  }
  same("after three unchanged runs");
  EXPECT_EQ(target.state(), before);
  if (target.journal) {
    EXPECT_EQ(WritingCommands(target.journal().substr(journalBefore)), "");
  }
  target.check();
}

INSTANTIATE_TEST_SUITE_P(Targets, KopiwartUnchanged,
                         ::testing::Values("local", "pyftpdlib", "vsftpd", "sftp", "fat", "ext4"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
