// The real program on real folders: job files with copy rows run by "kopiwart FILE -S -A -N"
// without a display; results judged by diff, rsync and file times; SIGTERM in the middle of a
// large file, and a file size limit. Skipped while the program cannot run job rows yet.
#include "tests/support/files.h"
#include "tests/support/run.h"
#include "tests/support/shared_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr time_t kT = 1700000000;
const std::string kProgram = std::string(KPW_BUILD_DIR) + "/app/kopiwart";

using kpwtest::Exists;
using kpwtest::HaveTool;
using kpwtest::Shell;
using kpwtest::TempDir;

void Put(const std::string& path, const std::string& text, time_t t = kT) {
  kpwtest::WriteFile(path, text);
  kpwtest::SetMTime(path, t);
}

std::string Get(const std::string& path) { return kpwtest::ReadFile(path); }

// One row of a job file.
struct Row {
  std::string source, target, plus, minus, extra;
  bool subdirs = true;
  std::string modeSwitch;  // "" for "Copy", else "/COPY_DEL", "/COPY_FILE", "/UPDATE"
};

Row MakeRow(const std::string& source, const std::string& target, const std::string& modeSwitch = "",
            bool subdirs = true) {
  Row r;
  r.source = source;
  r.target = target;
  r.modeSwitch = modeSwitch;
  r.subdirs = subdirs;
  return r;
}

void WriteJobFile(const std::string& path, const std::vector<Row>& rows, unsigned schedule = 0) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const Row& r : rows) {
    out << "[EINTRAG]\r\n";
    out << "\tQ:" << r.source << "\r\n\tZ:" << r.target << "\r\n";
    if (!r.plus.empty()) out << "\tP:" << r.plus << "\r\n";
    if (!r.minus.empty()) out << "\tM:" << r.minus << "\r\n";
    if (!r.extra.empty()) out << "\tX:" << r.extra << "\r\n";
    if (r.subdirs) out << "\t/UNTER\r\n";
    if (!r.modeSwitch.empty()) out << "\t" << r.modeSwitch << "\r\n";
  }
  char word[32];
  std::snprintf(word, sizeof word, "0x%X", schedule);
  out << "/ZEITPLAN=" << word << ",1\r\n";
}

struct Outcome {
  int exitStatus = -1;  // -1 when the program did not end by itself
  std::string errors;
};

// Starts the program on a job file without a display; standard error goes to errFile. A limit on
// the size of the files it writes is set as "ulimit -f" would set it.
pid_t Start(const std::string& jobFile, const std::string& errFile, rlim_t fileSizeLimit = RLIM_INFINITY) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "DISPLAY=", 8) == 0 || std::strncmp(*e, "WAYLAND_DISPLAY=", 16) == 0) continue;
    env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string a0 = kProgram, a1 = jobFile, a2 = "-S", a3 = "-A", a4 = "-N";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int in = ::open("/dev/null", O_RDONLY);
  const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
  // The program starts with the signals as a shell would leave them.
  ::signal(SIGXFSZ, SIG_DFL);
  const rlimit limit{fileSizeLimit, fileSizeLimit};
  if (fileSizeLimit != RLIM_INFINITY && ::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
  ::execve(kProgram.c_str(), argv, envp.data());
  ::_exit(127);
}

Outcome Finish(pid_t pid, const std::string& errFile) {
  Outcome o;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) o.exitStatus = WEXITSTATUS(status);
  o.errors = Get(errFile);
  return o;
}

Outcome RunJobs(const TempDir& dir, const std::vector<Row>& rows, unsigned schedule = 0,
                rlim_t fileSizeLimit = RLIM_INFINITY) {
  const std::string job = dir / "jobs.kpw";
  WriteJobFile(job, rows, schedule);
  return Finish(Start(job, dir / "stderr.txt", fileSizeLimit), dir / "stderr.txt");
}

// Whether the program can run rows: the skip reason when it cannot.
std::optional<std::string> NotReady() {
  if (::access(kProgram.c_str(), X_OK) != 0) return "the program " + kProgram + " is not built";
  TempDir dir;
  Put(dir / "src/probe.txt", "probe");
  const Outcome o = RunJobs(dir, {MakeRow(dir / "src", dir / "dst")});
  if (o.errors.find("noch keine Aufträge") != std::string::npos ||
      o.errors.find("noch nicht verfügbar") != std::string::npos)
    return "the program cannot run job rows yet: " + o.errors;
  return std::nullopt;
}

class CopyE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    static const std::optional<std::string> reason = NotReady();
    if (reason) GTEST_SKIP() << *reason;
  }
  // name time size, one line per file, sorted.
  static std::string FileTimes(const std::string& root) {
    return Shell("cd '" + root + "' && find . -type f -printf '%P %T@ %s\\n' | sort");
  }
  TempDir dir;
};

TEST_F(CopyE2e, CopyRowCopiesTheTreeWithItsTimes) {
  Put(dir / "src/a.txt", "alpha", kT);
  Put(dir / "src/sub/b.bin", std::string(100000, 'b'), kT + 5);
  Put(dir / "src/sub/deep/c.txt", "charlie", kT + 9);
  fs::create_directories(dir / "src/empty");
  const Outcome o = RunJobs(dir, {MakeRow(dir / "src", dir / "dst")});
  EXPECT_EQ(o.exitStatus, 0) << o.errors;
  int status = -1;
  EXPECT_EQ(Shell("diff -r '" + dir / "src" + "' '" + dir / "dst" + "' 2>&1", &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(FileTimes(dir / "src"), FileTimes(dir / "dst"));
  EXPECT_TRUE(fs::is_directory(dir / "dst/empty"));
}

TEST_F(CopyE2e, OnlyNewerAndReadOnlyTargetsFromTheSchedule) {
  Put(dir / "src/a.txt", "new a", kT);
  Put(dir / "src/b.txt", "new b", kT + 10);
  Put(dir / "src/ro.txt", "new ro", kT + 10);
  Put(dir / "dst/a.txt", "newer target", kT + 100);
  Put(dir / "dst/b.txt", "older target", kT);
  Put(dir / "dst/ro.txt", "read-only target", kT);
  ASSERT_EQ(::chmod((dir / "dst/ro.txt").c_str(), 0444), 0);
  // 0x8000 only newer files, 0x2000 leave read-only files alone.
  const Outcome o = RunJobs(dir, {MakeRow(dir / "src", dir / "dst")}, 0xA000);
  EXPECT_EQ(o.exitStatus, 0) << o.errors;
  EXPECT_EQ(Get(dir / "dst/a.txt"), "newer target");
  EXPECT_EQ(Get(dir / "dst/b.txt"), "new b");
  EXPECT_EQ(Get(dir / "dst/ro.txt"), "read-only target");
}

TEST_F(CopyE2e, CopyDelRowLeavesWhatRsyncCallsAMirror) {
  if (!HaveTool("rsync")) GTEST_SKIP() << "rsync is not installed";
  for (int d = 0; d < 5; ++d)
    for (int f = 0; f < 6; ++f) {
      const std::string name = "d" + std::to_string(d) + "/f" + std::to_string(f) + ".dat";
      Put(dir / ("src/" + name), std::string(static_cast<std::size_t>(d * 100 + f), 'q'));
      if ((d + f) % 2) Put(dir / ("dst/" + name), "stale");
      if ((d * f) % 3 == 1) Put(dir / ("dst/" + name + ".old"), "surplus");
    }
  Put(dir / "dst/gone/deeper/x", "surplus tree");
  const Outcome o = RunJobs(dir, {MakeRow(dir / "src", dir / "dst", "/COPY_DEL")});
  EXPECT_EQ(o.exitStatus, 0) << o.errors;
  EXPECT_EQ(Shell("rsync -rcn --delete --itemize-changes '" + dir / "src" + "/' '" + dir / "dst" + "/' 2>&1"), "");
  EXPECT_EQ(FileTimes(dir / "src"), FileTimes(dir / "dst"));
}

TEST_F(CopyE2e, CopyDelNeverEmptiesTheTargetOnAMissingOrFileSource) {
  Put(dir / "dst/a.txt", "a");
  Put(dir / "dst/sub/b.txt", "b");
  const std::string before = FileTimes(dir / "dst");

  Outcome o = RunJobs(dir, {MakeRow(dir / "absent", dir / "dst", "/COPY_DEL")});
  EXPECT_EQ(o.exitStatus, 1) << o.errors;
  EXPECT_NE(o.errors.find("Im Ziel wurde nichts gelöscht."), std::string::npos) << o.errors;
  EXPECT_EQ(FileTimes(dir / "dst"), before);

  // An empty source folder, as an unmounted disk looks.
  fs::create_directories(dir / "void");
  o = RunJobs(dir, {MakeRow(dir / "void", dir / "dst", "/COPY_DEL")});
  EXPECT_EQ(o.exitStatus, 1) << o.errors;
  EXPECT_EQ(FileTimes(dir / "dst"), before);

  // A file source: only its name is considered.
  Put(dir / "one/a.txt", "new a", kT + 50);
  o = RunJobs(dir, {MakeRow(dir / "one/a.txt", dir / "dst", "/COPY_DEL")});
  EXPECT_EQ(o.exitStatus, 0) << o.errors;
  EXPECT_EQ(Get(dir / "dst/a.txt"), "new a");
  EXPECT_EQ(Get(dir / "dst/sub/b.txt"), "b");

  // The target "/" is refused before anything is copied.
  o = RunJobs(dir, {MakeRow(dir / "one", "/", "/COPY_DEL", false)});
  EXPECT_EQ(o.exitStatus, 1) << o.errors;
  EXPECT_FALSE(Exists("/a.txt"));
}

// A folder of the source that the program cannot read: run as an unprivileged user, since root
// reads everything.
TEST_F(CopyE2e, CopyDelWithAnUnreadableSourceFolderDeletesNothing) {
  const bool root = ::geteuid() == 0;
  if (root && !HaveTool("setpriv")) GTEST_SKIP() << "setpriv is needed to drop root rights";
  std::optional<kpwtest::SharedProgram> shared;
  if (root) {
    shared.emplace(kProgram);
    if (shared->path().empty()) GTEST_SKIP() << shared->reason();
    if (!kpwtest::OthersCanReach(dir.path())) GTEST_SKIP() << "other users cannot reach " << dir.path();
  }
  const std::string program = shared ? shared->path() : kProgram;
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/locked/b.txt", "b");
  Put(dir / "dst/a.txt", "old a");
  Put(dir / "dst/locked/b.txt", "b");
  Put(dir / "dst/surplus.txt", "surplus");
  ASSERT_EQ(std::system(("chmod -R a+rwX '" + dir.path() + "'").c_str()), 0);
  ASSERT_EQ(::chmod((dir / "src/locked").c_str(), 0), 0);
  const std::string job = dir / "jobs.kpw";
  WriteJobFile(job, {MakeRow(dir / "src", dir / "dst", "/COPY_DEL")});
  ::chmod(job.c_str(), 0666);
  if (root) {
    ASSERT_EQ(::chown(job.c_str(), 65534, 65534), 0);  // a save keeps the owner: the file must be the user's
  }
  std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY '" + program + "' '" + job + "' -S -A -N 2>'" +
                    dir / "stderr.txt" + "'";
  if (root) cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " + cmd;
  const int status = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << Get(dir / "stderr.txt");
  EXPECT_EQ(Get(dir / "dst/a.txt"), "a");       // what could be read is copied
  EXPECT_TRUE(Exists(dir / "dst/surplus.txt"));  // nothing is deleted
  EXPECT_TRUE(Exists(dir / "dst/locked/b.txt"));
  ::chmod((dir / "src/locked").c_str(), 0755);
}

TEST_F(CopyE2e, UpdateAndCopyFileRows) {
  Put(dir / "src/a.txt", "new a", kT + 10);
  Put(dir / "src/b.txt", "new b", kT + 10);
  Put(dir / "upd/a.txt", "old a", kT);
  const Outcome o = RunJobs(dir, {MakeRow(dir / "src", dir / "upd", "/UPDATE"),
                                  MakeRow(dir / "src/b.txt", dir / "single/copy-of-b.txt", "/COPY_FILE", false)});
  EXPECT_EQ(o.exitStatus, 0) << o.errors;
  EXPECT_EQ(Get(dir / "upd/a.txt"), "new a");
  EXPECT_FALSE(Exists(dir / "upd/b.txt"));
  EXPECT_EQ(Get(dir / "single/copy-of-b.txt"), "new b");
}

// SIGTERM while a large file is being written: the old target stays, no temporary file is left,
// and the rows after it do not run.
TEST_F(CopyE2e, SigtermInTheMiddleOfALargeFileKeepsTheOldTarget) {
  fs::create_directories(dir / "src");
  {
    const int fd = ::open((dir / "src/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{4} << 30), 0);  // sparse: cheap to make, slow enough to copy
    ::close(fd);
  }
  Put(dir / "dst/big.bin", "old target");
  Put(dir / "later/x.txt", "x");
  const std::string job = dir / "jobs.kpw";
  WriteJobFile(job, {MakeRow(dir / "src", dir / "dst"), MakeRow(dir / "later", dir / "later-dst")});
  const pid_t pid = Start(job, dir / "stderr.txt");
  ASSERT_GT(pid, 0);

  // The copy is under way once the program holds a file open in the target folder that has no
  // name yet ("#inode (deleted)") or a temporary name.
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  const std::string dst = dir / "dst/";
  bool writing = false;
  for (auto start = std::chrono::steady_clock::now(); !writing && std::chrono::steady_clock::now() - start < 20s;) {
    if (DIR* d = ::opendir(fdDir.c_str())) {
      while (dirent* e = ::readdir(d)) {
        char link[4096];
        const ssize_t n = ::readlinkat(::dirfd(d), e->d_name, link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        const std::string target(link);
        if (target.rfind(dst, 0) == 0 && target != dst + "big.bin") writing = true;
      }
      ::closedir(d);
    }
    if (!writing) std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(writing) << "the copy was never seen under way";
  ::kill(pid, SIGTERM);
  const Outcome o = Finish(pid, dir / "stderr.txt");
  EXPECT_NE(o.exitStatus, -1) << "the program did not end by itself";
  EXPECT_NE(o.exitStatus, 0) << o.errors;
  EXPECT_EQ(Get(dir / "dst/big.bin"), "old target");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir / "dst")) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"big.bin"});
  EXPECT_FALSE(Exists(dir / "later-dst"));
}

// A limit on the size of written files (ulimit -f): the file that outgrows it fails as on a full
// disk, its old target stays, nothing half-written is left, and the run goes on.
TEST_F(CopyE2e, AFileOverTheSizeLimitFailsAloneAndTheRunGoesOn) {
  std::mt19937_64 rng(7);
  std::string noise(std::size_t{20} << 20, '\0');  // random: the archive cannot shrink it below the limit
  for (char& c : noise) c = static_cast<char>(rng());
  Put(dir / "src/big.bin", noise);
  Put(dir / "src/a.txt", "a");
  Put(dir / "src/sub/b.txt", "b");
  Put(dir / "dst/big.bin", "old target", kT - 100);
  Put(dir / "later/c.txt", "c");
  const Outcome o = RunJobs(dir,
                            {MakeRow(dir / "src", dir / "dst"), MakeRow(dir / "src", dir / "zip/a.zip", "/ZIP"),
                             MakeRow(dir / "later", dir / "later-dst")},
                            0, rlim_t{8} << 20);
  EXPECT_EQ(o.exitStatus, 1) << o.errors;
  EXPECT_EQ(Get(dir / "dst/big.bin"), "old target");
  EXPECT_EQ(Shell("cd '" + dir / "dst" + "' && find . -type f | sort"), "./a.txt\n./big.bin\n./sub/b.txt\n");
  EXPECT_EQ(Get(dir / "dst/sub/b.txt"), "b");
  EXPECT_EQ(Shell("find '" + dir / "zip" + "' -type f 2>/dev/null"), "");
  EXPECT_EQ(Get(dir / "later-dst/c.txt"), "c");
}

}  // namespace

// A pipe in the source fails its file at once; the run ends instead of waiting for a writer.
TEST_F(CopyE2e, APipeInTheSourceFailsTheRowButNeverHangs) {
  Put(dir / "src/a.txt", "alpha", kT);
  ASSERT_EQ(::mkfifo((dir / "src/pipe").c_str(), 0644), 0);
  const std::string job = dir / "jobs.kpw";
  WriteJobFile(job, {MakeRow(dir / "src", dir / "dst")}, 0);
  const pid_t pid = Start(job, dir / "stderr.txt");
  ASSERT_GT(pid, 0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 600 && done == 0; ++i) {
    done = ::waitpid(pid, &status, WNOHANG);
    if (done == 0) ::usleep(50000);
  }
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "the run waited on the pipe";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << Get(dir / "stderr.txt");
  EXPECT_EQ(Get(dir / "dst/a.txt"), "alpha");
}
