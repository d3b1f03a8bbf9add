// Zip, Zip Add and Shrink rows through the program itself ("kopiwart FILE -S -A -N" as cron runs
// it): one archive from several rows, updates, unpacking with the schedule's options, cancel and
// failure keeping the old archive, crafted archives, and thinning with a fixed clock; skipped
// while the program cannot run such rows.
#include "aw_test_util.h"

#include "jobs/job_model.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>
#include <thread>

namespace {

using namespace awtest;

const std::string kProgram = std::string(KPW_BUILD_DIR) + "/app/kopiwart";
// The test build, whose clock KPW_TEST_NOW fixes.
const std::string kProgramTest = std::string(KPW_BUILD_DIR) + "/tests/support/kopiwart-test";

struct Row {
  std::string mode, source, target, extra;
};

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kProgram.c_str(), X_OK) != 0) GTEST_SKIP() << "the program is not built";
  }
  // Writes the job file with the schedule word and starts the program on it; the process id.
  // before goes in front of the program: "NAME=value" words for its environment, then perhaps a
  // command that runs it in its own process (taskset). With a limit on the size of the files it
  // writes, writes beyond it fail with EFBIG.
  pid_t Start(const std::vector<Row>& rows, u32 schedule = 0, const std::string& before = "",
              rlim_t fileSizeLimit = RLIM_INFINITY) {
    std::string text;
    for (const Row& r : rows) {
      text += "[EINTRAG]\r\n\tQ:" + r.source + "\r\n\tZ:" + r.target + "\r\n";
      if (!r.extra.empty()) text += "\tX:" + r.extra + "\r\n";
      text += "\t/UNTER\r\n\t/" + r.mode + "\r\n";
    }
    char word[32];
    std::snprintf(word, sizeof word, "/ZEITPLAN=0x%x,1\r\n", schedule);
    text += word;
    const std::string job = dir_ / "jobs.kpw";
    WriteFile(job, text);
    const std::string command = "cd " + Quote(dir_.path()) + " && exec env -u DISPLAY -u WAYLAND_DISPLAY HOME=" +
                                Quote(dir_.path()) + " XDG_CONFIG_HOME=" + Quote(dir_ / "config") + " " + before +
                                " " + Quote(before.find("KPW_TEST_NOW") == std::string::npos ? kProgram : kProgramTest) + " " + Quote(job) +
                                " -S -A -N 2>" + Quote(dir_ / "stderr");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_DFL);  // as a shell leaves it: the program itself must not die of it
      if (fileSizeLimit != RLIM_INFINITY) {
        const rlimit limit{fileSizeLimit, fileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return pid;
  }
  // Waits for the program; its exit status (-1 when it did not end normally).
  int Finish(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    err_ = ReadFile(dir_ / "stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Run(const std::vector<Row>& rows, u32 schedule = 0, const std::string& before = "",
          rlim_t fileSizeLimit = RLIM_INFINITY) {
    return Finish(Start(rows, schedule, before, fileSizeLimit));
  }
  // Skips the test when the program answers a row of this mode with its stand-in.
  void SkipIfStandIn() {
    if (err_.find("nicht verfügbar") != std::string::npos) GTEST_SKIP() << "the program does not run these rows yet";
  }
  static std::string LocalDate(int daysAgo) {
    const std::time_t t = std::time(nullptr) - static_cast<std::time_t>(daysAgo) * 86400;
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
  }
  // The entry names of an archive (zipinfo -1), sorted; a name twice stays twice.
  static std::vector<std::string> Entries(const std::string& archive) {
    const std::string out = Shell("zipinfo -1 " + Quote(archive) + " 2>/dev/null");
    std::vector<std::string> names;
    for (std::size_t pos = 0; pos < out.size();) {
      const std::size_t end = std::min(out.find('\n', pos), out.size());
      names.push_back(out.substr(pos, end - pos));
      pos = end + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string Member(const std::string& archive, const std::string& name) {
    return Shell("unzip -p " + Quote(archive) + " " + Quote(name) + " 2>/dev/null");
  }
  // unzip -t accepts the archive (skipped without unzip).
  static void ExpectSound(const std::string& archive) {
    if (!HaveTool("unzip")) return;
    int status = -1;
    const std::string out = Shell("unzip -t " + Quote(archive) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
  }
  // Whatever else lies beside the archive (temporary files left behind).
  static std::set<std::string> Beside(const std::string& archive) {
    std::set<std::string> names = Names(fs::path(archive).parent_path().string());
    names.erase(fs::path(archive).filename().string());
    return names;
  }
  // Whether the process has a file open in the archive's folder other than the archive.
  static bool WritesBeside(pid_t pid, const std::string& archive) {
    const std::string folder = fs::path(archive).parent_path().string() + "/";
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
      const std::string open = fs::read_symlink(fd.path(), ec).string();
      if (!ec && open.rfind(folder, 0) == 0 && open != archive) return true;
    }
    return false;
  }
  // A text file of about size bytes that deflates to about half: random hexadecimal digits.
  static void WriteLargeText(const std::string& path, std::size_t size) {
    std::mt19937_64 rng(8);
    std::string text(size, '\n');
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i)
      if (i % 80 != 79) text[i] = kDigits[rng() & 15];
    WriteFile(path, text);
  }

  ScratchDir dir_;
  std::string err_;
};

TEST_F(Program, ZipAndZipAddRowsWriteOneArchive) {
  WriteFile(dir_ / "src/a.txt", "alpha");
  WriteFile(dir_ / "src/sub/b.txt", "beta");
  WriteFile(dir_ / "src2/c.txt", "gamma");
  const std::string archive = dir_ / "out/t.zip";
  const int status = Run({{"ZIP", dir_ / "src", archive, ""}, {"ZIP_ADD", dir_ / "src2", archive, ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  EXPECT_EQ(Entries(archive), (std::vector<std::string>{"a.txt", "c.txt", "sub/", "sub/b.txt"}));
  if (HaveTool("unzip")) {
    int rc = -1;
    Shell("unzip -tq " + Quote(archive), &rc);
    EXPECT_EQ(rc, 0);
  }
  // A row whose source is gone fails and leaves the archive of the last run.
  const std::string before = ReadFile(archive);
  EXPECT_EQ(Run({{"ZIP", dir_ / "unmounted", archive, ""}}), 1);
  EXPECT_NE(err_.find("wurde nicht gefunden"), std::string::npos) << err_;
  EXPECT_EQ(ReadFile(archive), before);
}

TEST_F(Program, AShrinkRowCopiesAndThins) {
  WriteFile(dir_ / "data.txt", "today's data");
  for (const int age : {8, 9, 10, 20}) WriteFile(dir_ / ("series/bk_" + LocalDate(age) + ".txt"), "old");
  WriteFile(dir_ / "series/bk_final.txt", "mine");
  const int status = Run({{"SHRINK", dir_ / "data.txt", dir_ / "series/bk_#D#.txt", ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  EXPECT_EQ(ReadFile(dir_ / ("series/bk_" + LocalDate(0) + ".txt")), "today's data");
  EXPECT_FALSE(Exists(dir_ / ("series/bk_" + LocalDate(9) + ".txt")));
  EXPECT_TRUE(Exists(dir_ / ("series/bk_" + LocalDate(8) + ".txt")));
  EXPECT_TRUE(Exists(dir_ / ("series/bk_" + LocalDate(10) + ".txt")));
  EXPECT_EQ(ReadFile(dir_ / "series/bk_final.txt"), "mine");
}

TEST_F(Program, ZipAddReplacesAChangedEntry) {
  WriteFile(dir_ / "src/a.txt", "alpha");
  WriteFile(dir_ / "src/sub/b.txt", "beta");
  SetMTime(dir_ / "src/a.txt", 1700000000);
  const std::string archive = dir_ / "out/t.zip";
  const int status = Run({{"ZIP", dir_ / "src", archive, ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  WriteFile(dir_ / "src/a.txt", "alpha, second edition");
  SetMTime(dir_ / "src/a.txt", 1700100000);
  WriteFile(dir_ / "src/new.txt", "new");
  ASSERT_EQ(Run({{"ZIP_ADD", dir_ / "src", archive, ""}}), 0) << err_;
  // Each name once, the changed entry replaced.
  EXPECT_EQ(Entries(archive), (std::vector<std::string>{"a.txt", "new.txt", "sub/", "sub/b.txt"}));
  EXPECT_EQ(Member(archive, "a.txt"), "alpha, second edition");
  EXPECT_EQ(Member(archive, "sub/b.txt"), "beta");
  ExpectSound(archive);
  // "Dateien nie überschreiben" in the schedule: the entry stays as it is.
  WriteFile(dir_ / "src/a.txt", "third");
  SetMTime(dir_ / "src/a.txt", 1700200000);
  ASSERT_EQ(Run({{"ZIP_ADD", dir_ / "src", archive, ""}}, SCHED_NEVER_OVERWRITE), 0) << err_;
  EXPECT_EQ(Member(archive, "a.txt"), "alpha, second edition");
  EXPECT_TRUE(Beside(archive).empty());
}

TEST_F(Program, UnpackingFollowsTheScheduleOptions) {
  WriteFile(dir_ / "src/a.txt", "alpha");
  WriteFile(dir_ / "src/sub/b.txt", "beta");
  SetMTime(dir_ / "src/a.txt", 1700000000);
  SetMTime(dir_ / "src/sub/b.txt", 1700000000);
  const std::string archive = dir_ / "t.zip";
  const int status = Run({{"ZIP", dir_ / "src", archive, ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  const std::string out = dir_ / "unpacked";
  const auto local = [&] {
    WriteFile(out + "/a.txt", "local, newer");
    SetMTime(out + "/a.txt", 1700050000);
    WriteFile(out + "/sub/b.txt", "local, older");
    SetMTime(out + "/sub/b.txt", 1699950000);
  };
  local();
  // Never overwrite (0x4000 gives RunFlags 0x08).
  ASSERT_EQ(Run({{"ZIP", archive, out, ""}}, SCHED_NEVER_OVERWRITE), 0) << err_;
  EXPECT_EQ(ReadFile(out + "/a.txt"), "local, newer");
  EXPECT_EQ(ReadFile(out + "/sub/b.txt"), "local, older");
  // Only newer (0x8000 gives RunFlags 0x01): the older local file is replaced, with the entry's time.
  ASSERT_EQ(Run({{"ZIP", archive, out, ""}}, SCHED_NEWER_ONLY), 0) << err_;
  EXPECT_EQ(ReadFile(out + "/a.txt"), "local, newer");
  EXPECT_EQ(ReadFile(out + "/sub/b.txt"), "beta");
  EXPECT_EQ(kpwtest::MTime(out + "/sub/b.txt"), 1700000000);
  // Neither: everything is replaced.
  local();
  ASSERT_EQ(Run({{"ZIP", archive, out, ""}}), 0) << err_;
  EXPECT_EQ(ReadFile(out + "/a.txt"), "alpha");
  EXPECT_EQ(ReadFile(out + "/sub/b.txt"), "beta");
}

// SIGTERM cancels the run, SIGKILL ends it at once: either way the old archive stays and nothing
// is left beside it (the new archive has no name while it is written).
TEST_F(Program, AStoppedOrKilledPackKeepsTheOldArchiveAndLeavesNothing) {
  WriteFile(dir_ / "src/a.txt", "alpha");
  const std::string archive = dir_ / "out/t.zip";
  const int status = Run({{"ZIP", dir_ / "src", archive, ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  const std::string old = ReadFile(archive);
  WriteLargeText(dir_ / "src/large.txt", std::size_t{32} << 20);
  // On one core where that is possible, so that packing takes long enough to be stopped.
  const std::string pin = HaveTool("taskset") ? "taskset -c 0 " : "";
  for (const int sig : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(sig);
    const pid_t pid = Start({{"ZIP", dir_ / "src", archive, ""}}, 0, pin);
    ASSERT_GT(pid, 0);
    // Stop it once it writes the new archive beside the old one.
    bool packing = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!packing && std::chrono::steady_clock::now() < until) {
      packing = WritesBeside(pid, archive);
      if (!packing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(pid, sig);
    const int rc = Finish(pid);
    ASSERT_TRUE(packing) << "the program never started packing";
    if (ReadFile(archive) != old) GTEST_SKIP() << "the program finished before it was stopped";
    if (sig == SIGTERM) {
      EXPECT_EQ(rc, 2) << err_;
      EXPECT_NE(err_.find("Abbruch angefordert"), std::string::npos) << err_;
    }
    EXPECT_TRUE(Beside(archive).empty());
    EXPECT_EQ(Entries(archive), std::vector<std::string>{"a.txt"});
    ExpectSound(archive);
  }
}

// "\" separates folders in entry names: a file or folder whose name holds one is not packed but
// told once, and the row fails.
TEST_F(Program, NamesWithABackslashAreToldAndNotPacked) {
  WriteFile(dir_ / "src/a/b", "real");
  WriteFile(dir_ / "src/a\\b", "file named a\\b");
  WriteFile(dir_ / "src/c\\d/e.txt", "inside folder c\\d");
  const std::string archive = dir_ / "out/t.zip";
  const int status = Run({{"ZIP", dir_ / "src", archive, ""}});
  SkipIfStandIn();
  EXPECT_EQ(status, 1) << err_;
  EXPECT_EQ(Entries(archive), (std::vector<std::string>{"a/", "a/b"}));
  EXPECT_EQ(Member(archive, "a/b"), "real");
  const std::string told = "Der Name kann nicht im Archiv '" + archive + "' stehen, die Datei wird übergangen: ";
  EXPECT_NE(err_.find(told + (dir_ / "src/a\\b")), std::string::npos) << err_;
  EXPECT_NE(err_.find(told + (dir_ / "src/c\\d")), std::string::npos) << err_;
  EXPECT_EQ(err_.find("e.txt"), std::string::npos) << err_;
}

TEST_F(Program, AFailedWriteKeepsTheOldArchive) {
  WriteFile(dir_ / "src/a.txt", "alpha");
  const std::string archive = dir_ / "out/t.zip";
  const int status = Run({{"ZIP", dir_ / "src", archive, ""}});
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  const std::string old = ReadFile(archive);
  // Random bytes do not shrink: the new archive outgrows the limit and its write fails.
  std::mt19937_64 rng(3);
  std::string noise(std::size_t{4} << 20, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  WriteFile(dir_ / "src/noise.bin", noise);
  EXPECT_EQ(Run({{"ZIP", dir_ / "src", archive, ""}}, 0, "", rlim_t{1} << 20), 1) << err_;
  EXPECT_FALSE(err_.empty());
  EXPECT_EQ(ReadFile(archive), old);
  EXPECT_TRUE(Beside(archive).empty());
  ExpectSound(archive);
  // The same for Zip Add, which starts from the old archive.
  EXPECT_EQ(Run({{"ZIP_ADD", dir_ / "src", archive, ""}}, 0, "", rlim_t{1} << 20), 1) << err_;
  EXPECT_EQ(ReadFile(archive), old);
  EXPECT_TRUE(Beside(archive).empty());
}

TEST_F(Program, CraftedArchivesNeverWriteOutsideTheTarget) {
  if (!HaveTool("python3")) GTEST_SKIP() << "no python3";
  const std::string outside = dir_ / "outside";
  fs::create_directories(outside);
  const std::string absolute = "/kpw-crafted-" + std::to_string(::getpid()) + ".txt";
  const std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
      "z.writestr('../evil.txt', 'evil')\n"
      "z.writestr('sub/../../../evil2.txt', 'evil')\n"
      "z.writestr('..\\\\win.txt', 'evil')\n"
      "z.writestr(sys.argv[2], 'absolute')\n"
      "link = zipfile.ZipInfo('link')\n"
      "link.create_system = 3\n"
      "link.external_attr = 0o120777 << 16\n"
      "z.writestr(link, sys.argv[3])\n"
      "z.writestr('link/through.txt', 'through')\n"
      "z.writestr('ok.txt', 'ok')\n"
      "z.close()\n";
  WriteFile(dir_ / "craft.py", script);
  const std::string crafted = dir_ / "crafted.zip";
  int made = -1;
  Shell("python3 " + Quote(dir_ / "craft.py") + " " + Quote(crafted) + " " + Quote(absolute) + " " + Quote(outside),
        &made);
  ASSERT_EQ(made, 0);
  const std::string target = dir_ / "box/inner";
  const int status = Run({{"ZIP", crafted, target, ""}});
  SkipIfStandIn();
  EXPECT_EQ(status, 1) << err_;
  // Each refused entry is named on standard error.
  std::size_t outward = 0;
  for (std::size_t at = err_.find("zeigt aus dem Zielordner heraus"); at != std::string::npos;
       at = err_.find("zeigt aus dem Zielordner heraus", at + 1))
    ++outward;
  EXPECT_EQ(outward, 4u) << err_;
  EXPECT_NE(err_.find("'link' im Archiv"), std::string::npos) << err_;
  EXPECT_EQ(ReadFile(target + "/ok.txt"), "ok");
  EXPECT_FALSE(fs::is_symlink(target + "/link"));
  EXPECT_TRUE(Names(outside).empty());
  EXPECT_EQ(Names(dir_ / "box"), (std::set<std::string>{"inner"}));
  EXPECT_FALSE(Exists(dir_ / "evil.txt"));
  EXPECT_FALSE(Exists(dir_ / "evil2.txt"));
  EXPECT_FALSE(Exists(dir_ / "box/win.txt"));
  EXPECT_FALSE(Exists(absolute));
  ::unlink(absolute.c_str());
}

// Thinning with the clock of the program's test build fixed through KPW_TEST_NOW, in Central
// European time. Date
// series carry their days in their names, so the program sees the same ages as the worker's own
// tests. Generation series stay with the in-process tests: their ages are creation times, which
// Linux does not let a test set and which only the library's seam can feign.
class ProgramShrink : public Program {
 protected:
  // Noon on a local calendar day, as KPW_TEST_NOW wants it, and TZ for the program.
  std::string At(i64 day) {
    return "TZ=" + Quote(kCentralEurope) + " KPW_TEST_NOW=" + std::to_string(FixedClock::LocalTime(day, 12, 0));
  }
  std::string Copy(i64 day) const { return dir_ / ("series/bk_" + DateText(day) + ".txt"); }
  // The ages of the dated copies in the series folder on the given day.
  std::set<i64> Ages(i64 today) {
    std::set<i64> ages;
    for (const std::string& name : Names(dir_ / "series")) {
      int y = 0, m = 0, d = 0;
      if (name.size() != 17 || std::sscanf(name.c_str(), "bk_%4d-%2d-%2d.txt", &y, &m, &d) != 3) continue;
      ages.insert(today - DayOf(y, m, d));
    }
    return ages;
  }

  kpwtest::ScopedTimeZone tz_{kCentralEurope};
  const i64 today_ = DayOf(2026, 12, 6);
};

TEST_F(ProgramShrink, ADueSeriesGetsANewCopyThenIsThinned) {
  WriteFile(dir_ / "data.txt", "current data");
  for (const i64 age : {8, 9, 10, 11, 12, 13, 14, 30, 31, 60, 100, 400, 401}) WriteFile(Copy(today_ - age), "old");
  WriteFile(dir_ / "series/bk_final.txt", "mine");
  const int status = Run({{"SHRINK", dir_ / "data.txt", dir_ / "series/bk_#D#.txt", ""}}, 0, At(today_));
  SkipIfStandIn();
  ASSERT_EQ(status, 0) << err_;
  EXPECT_EQ(Ages(today_), (std::set<i64>{0, 8, 14, 31, 60, 100, 401}));
  EXPECT_EQ(ReadFile(Copy(today_)), "current data");
  EXPECT_EQ(ReadFile(dir_ / "series/bk_final.txt"), "mine");
}

TEST_F(ProgramShrink, DailyRunsForMoreThanAYear) {
  const i64 first = today_ - 399;
  for (i64 day = first; day <= today_; ++day) {
    WriteFile(dir_ / "data.txt", "state of " + DateText(day));
    const int status = Run({{"SHRINK", dir_ / "data.txt", dir_ / "series/bk_#D#.txt", ""}}, 0, At(day));
    if (day == first) SkipIfStandIn();
    ASSERT_EQ(status, 0) << DateText(day) << ": " << err_;
  }
  EXPECT_EQ(Ages(today_), (std::set<i64>{7, 15, 23, 47, 79, 111, 207, 303, 399}));
  EXPECT_EQ(ReadFile(Copy(today_ - 7)), "state of " + DateText(today_ - 7));
}

TEST_F(ProgramShrink, ZipSeriesOfAFolderOverSeveralDays) {
  WriteFile(dir_ / "src/a.txt", "alpha");
  WriteFile(dir_ / "src/skip/x.txt", "x");
  // Spacing 1 and the folder "skip" left out: a new archive every other day.
  for (i64 day = today_ - 6; day <= today_; ++day) {
    const int status =
        Run({{"SHRINK", dir_ / "src", dir_ / "series/arc_#D#.zip", "1;skip"}}, 0, At(day));
    if (day == today_ - 6) SkipIfStandIn();
    ASSERT_EQ(status, 0) << DateText(day) << ": " << err_;
  }
  std::set<std::string> expected;
  for (const i64 age : {0, 2, 4, 6}) expected.insert("arc_" + DateText(today_ - age) + ".zip");
  EXPECT_EQ(Names(dir_ / "series"), expected);
  for (const std::string& name : expected) {
    EXPECT_EQ(Entries(dir_ / ("series/" + name)), std::vector<std::string>{"a.txt"}) << name;
    ExpectSound(dir_ / ("series/" + name));
  }
}

}  // namespace
