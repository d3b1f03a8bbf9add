// The kopiwart program without a display: exit statuses, the schedule on a fixed clock, SIGTERM,
// command-line forms, job files that cannot be read or saved, the bundled example.
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kProgram = std::string(KPW_BUILD_DIR) + "/app/kopiwart";
// The test build, whose clock KPW_TEST_NOW fixes.
const std::string kProgramTest = std::string(KPW_BUILD_DIR) + "/tests/support/kopiwart-test";

using kpwtest::ReadFile;

void Spit(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

struct Child {
  pid_t pid = -1;
  int errPipe = -1;  // the read end of the program's standard error
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kpw_program_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir + "/config");
    fs::create_directories(dir + "/src/sub");
    Spit(dir + "/src/a.txt", "eins");
    Spit(dir + "/src/sub/b.txt", "zwei");
  }
  void TearDown() override { fs::remove_all(dir); }

  // Starts the program without a display, with a private configuration folder.
  Child Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
              rlim_t fileSizeLimit = RLIM_INFINITY) {
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "XDG_CONFIG_HOME" || env.count(name)) continue;
      envs.push_back(entry);
    }
    envs.push_back("XDG_CONFIG_HOME=" + dir + "/config");
    for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
    bool fixedClock = false;
    for (const auto& [k, v] : env) fixedClock = fixedClock || k == "KPW_TEST_NOW";
    const std::string& program = fixedClock ? kProgramTest : kProgram;
    Child child;
    int fds[2];
    if (::pipe(fds) != 0) return child;
    child.pid = ::fork();
    if (child.pid == 0) {
      ::dup2(fds[1], 2);
      ::close(fds[0]);
      ::close(fds[1]);
      if (fileSizeLimit != RLIM_INFINITY) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{fileSizeLimit, fileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (std::string& e : envs) envp.push_back(e.data());
      envp.push_back(nullptr);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    child.errPipe = fds[0];
    return child;
  }
  // Reads the program's standard error to its end into err; the exit status (128 + signal when
  // killed).
  int Wait(const Child& child) {
    err.clear();
    char buf[4096];
    for (ssize_t n; (n = ::read(child.errPipe, buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      err.append(buf, static_cast<std::size_t>(n));
    }
    ::close(child.errPipe);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int RunProgram(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                 rlim_t fileSizeLimit = RLIM_INFINITY) {
    return Wait(Start(args, env, fileSizeLimit));
  }
  std::string JobFile(const std::string& rows, const std::string& schedule = "/ZEITPLAN=0x0,1\r\n") {
    const std::string path = dir + "/jobs.kpw";
    Spit(path, rows + schedule);
    return path;
  }
  std::string CopyRow(const std::string& source, const std::string& target) {
    return "[EINTRAG]\r\n\tQ:" + source + "\r\n\tZ:" + target + "\r\n\t/UNTER\r\n";
  }

  std::string dir;
  std::string err;
};

TEST_F(ProgramTest, CopyRunEndsWithZeroAndStoresTheLastRun) {
  const std::string path = JobFile(CopyRow("$(KPW_PATH)/src", "$(KPW_PATH)/dst"));
  EXPECT_EQ(RunProgram({path, "-S", "-A", "-N"}, {{"KPW_TEST_NOW", "1750000000"}}), 0) << err;
  EXPECT_EQ(ReadFile(dir + "/dst/a.txt"), "eins");
  EXPECT_EQ(ReadFile(dir + "/dst/sub/b.txt"), "zwei");
  EXPECT_NE(ReadFile(path).find("/LETZTE=0x684EE180\r\n"), std::string::npos);
  EXPECT_EQ(err, "");
}

TEST_F(ProgramTest, AFailedRowEndsWithOne) {
  const std::string path =
      JobFile(CopyRow("C:\\Daten", "$(KPW_PATH)/dst") + CopyRow("$(KPW_PATH)/src", "$(KPW_PATH)/dst"));
  EXPECT_EQ(RunProgram({path, "-S", "-N"}), 1);
  EXPECT_NE(err.find("C:\\Daten"), std::string::npos) << err;
  EXPECT_TRUE(fs::exists(dir + "/dst/a.txt"));  // the other row still ran
}

TEST_F(ProgramTest, ScheduleOnAFixedClock) {
  // Daily, last run at 1750000000.
  const std::string rows = CopyRow("$(KPW_PATH)/src", "$(KPW_PATH)/dst");
  const std::string path = JobFile(rows, "/ZEITPLAN=0x1,1\r\n/LETZTE=0x684EE180\r\n");
  const std::string before = ReadFile(path);
  EXPECT_EQ(RunProgram({path, "-S", "-N"}, {{"KPW_TEST_NOW", "1750080000"}}), 0) << err;
  EXPECT_FALSE(fs::exists(dir + "/dst"));
  EXPECT_EQ(ReadFile(path), before);
  // A start an hour early is still due; the time taken at the start is stored.
  EXPECT_EQ(RunProgram({path, "-S", "-N"}, {{"KPW_TEST_NOW", "1750082800"}}), 0) << err;
  EXPECT_TRUE(fs::exists(dir + "/dst/a.txt"));
  EXPECT_NE(ReadFile(path).find("/LETZTE=0x685024F0\r\n"), std::string::npos) << ReadFile(path);
  // -A ignores the schedule.
  fs::remove_all(dir + "/dst");
  EXPECT_EQ(RunProgram({path, "-S", "-N", "-A"}, {{"KPW_TEST_NOW", "1750082900"}}), 0) << err;
  EXPECT_TRUE(fs::exists(dir + "/dst/a.txt"));
}

TEST_F(ProgramTest, CommandLineForms) {
  // An absolute path is the job file; "/s", "/a", "/n" are switches in either case.
  const std::string path = JobFile(CopyRow("$(KPW_PATH)/src", "$(KPW_PATH)/dst"));
  ASSERT_EQ(path[0], '/');
  EXPECT_EQ(RunProgram({"/s", path, "/A", "/n"}), 0) << err;
  EXPECT_TRUE(fs::exists(dir + "/dst/a.txt"));
}

TEST_F(ProgramTest, StartsThatNeedTheWindowFailWithoutADisplay) {
  const std::string path = JobFile(CopyRow("$(KPW_PATH)/src", "$(KPW_PATH)/dst"));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{}, {path}, {"-S", "-N"}, {path, "-N"}}) {
    EXPECT_EQ(RunProgram(args), 2);
    EXPECT_NE(err.find("Das Fenster von Kopiwart kann hier nicht angezeigt werden"), std::string::npos) << err;
  }
  EXPECT_FALSE(fs::exists(dir + "/dst"));
  // -S alone runs as with -N and says so.
  EXPECT_EQ(RunProgram({path, "-S"}), 0);
  EXPECT_NE(err.find("wie mit -N"), std::string::npos) << err;
  EXPECT_TRUE(fs::exists(dir + "/dst/a.txt"));
  EXPECT_EQ(err.find("Es wurden"), std::string::npos);  // a direct run shows no closing message
}

TEST_F(ProgramTest, JobFileThatCannotBeRead) {
  EXPECT_EQ(RunProgram({dir + "/fehlt.kpw", "-S", "-N"}), 2);
  EXPECT_NE(err.find("konnte nicht geöffnet werden"), std::string::npos) << err;
  EXPECT_EQ(RunProgram({dir, "-S", "-N"}), 2);  // a folder
}

TEST_F(ProgramTest, JobFileThatCannotBeSaved) {
  // A file-size limit below the job file's size lets the run work (it copies nothing new) but
  // makes the save fail, even as root; the old file stays whole.
  fs::create_directories(dir + "/dst");
  const std::string path = JobFile(CopyRow("$(KPW_PATH)/leer", "$(KPW_PATH)/dst"), "/ZEITPLAN=0x0,1\r\n");
  fs::create_directories(dir + "/leer");
  const std::string before = ReadFile(path);
  EXPECT_EQ(RunProgram({path, "-S", "-N"}, {}, 16), 2);
  EXPECT_NE(err.find("konnte nicht gespeichert werden"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(path), before);
  for (const auto& e : fs::directory_iterator(dir)) EXPECT_EQ(e.path().filename().string().find(".~"), std::string::npos);
}

// Saving the last-run time keeps the job file's owner, group and mode; a read-only job file is
// not written.
TEST_F(ProgramTest, SavesKeepOwnerGroupAndModeAndLeaveReadOnlyFiles) {
  const std::string path = JobFile(CopyRow("$(KPW_PATH)/src", "$(KPW_PATH)/dst"));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
  }
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  EXPECT_EQ(RunProgram({path, "-S", "-A", "-N"}, {{"KPW_TEST_NOW", "1750000000"}}), 0) << err;
  EXPECT_NE(ReadFile(path).find("/LETZTE=0x684EE180\r\n"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  const std::string before = ReadFile(path);
  EXPECT_EQ(RunProgram({path, "-S", "-A", "-N"}, {{"KPW_TEST_NOW", "1750000100"}}), 2) << err;
  EXPECT_NE(err.find("konnte nicht gespeichert werden (Fehler 5)"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);  // nothing beside it
}

TEST_F(ProgramTest, SigtermCancelsTheRunAndLeavesNoTemporaryFiles) {
  const int files = 2500;
  fs::create_directories(dir + "/many");
  for (int i = 0; i < files; ++i) Spit(dir + "/many/f" + std::to_string(i), std::string(512, 'x'));
  const std::string path = JobFile(CopyRow("$(KPW_PATH)/many", "$(KPW_PATH)/out") + CopyRow("$(KPW_PATH)/src", "$(KPW_PATH)/dst"));
  const std::string before = ReadFile(path);
  const Child child = Start({path, "-S", "-N"});
  // Wait for the copy to be under way.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    if (fs::exists(dir + "/out", ec) && !fs::is_empty(dir + "/out", ec)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(child.pid, SIGTERM);
  const int status = Wait(child);
  EXPECT_EQ(status, 2) << err;
  EXPECT_NE(err.find("Abbruch"), std::string::npos) << err;
  int copied = 0;
  for (const auto& e : fs::directory_iterator(dir + "/out")) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(fs::exists(dir + "/many/" + name)) << "left behind: " << name;
    EXPECT_EQ(fs::file_size(e.path()), 512u) << name;
    ++copied;
  }
  EXPECT_LT(copied, files);
  EXPECT_FALSE(fs::exists(dir + "/dst"));  // no row starts after the cancel
  EXPECT_EQ(ReadFile(path), before);           // a cancelled run does not count
}

TEST_F(ProgramTest, BundledExampleCopiesTheSampleTree) {
  const std::string example = std::string(KPW_SOURCE_DIR) + "/examples/demo.kpw";
  const std::string before = ReadFile(example);
  EXPECT_EQ(RunProgram({example, "-S", "-A", "-N"}, {{"KPW_DEMO_TARGET", dir + "/demo"}}), 0) << err;
  const std::string diff = "diff -r '" + std::string(KPW_SOURCE_DIR) + "/examples/sample' '" + dir + "/demo' >/dev/null";
  EXPECT_EQ(std::system(diff.c_str()), 0);
  EXPECT_EQ(ReadFile(example), before);  // its schedule keeps the file as it is
}

}  // namespace
