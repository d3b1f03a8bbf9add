// The "Shrink" worker on real folders with a fixed clock: new copies when due, thinning of file,
// folder and generation series, names that are no copies, the row's head, parameter errors,
// cancel and abort.
#include "aw_test_util.h"

#include "jobs/job_extra.h"
#include "tests/support/sys_seams.h"
#include "tests/support/test_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <optional>

namespace {

using namespace awtest;

const i64 kToday = DayOf(2026, 12, 6);  // a Sunday

class ShrinkWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    kpwtest::TestEnv().hostName = "kpw-shrink-pc";
    series_ = dir_ / "series";
    fs::create_directories(series_);
    source_ = dir_ / "data.txt";
    WriteFile(source_, "current data");
  }
  void TearDown() override {
    kpwtest::TestEnv().hostName = kpwtest::kTestHost;
    SysTestClearCreationTimes();
  }

  int Run(const std::string& source, const std::string& target, const std::string& extra = "", u32 flags = 0) {
    return rig_.Call(RunShrink, source, target, flags, extra);
  }
  // A dated file copy of the given age: prefix + date + suffix, holding "age N".
  std::string Dated(i64 age, const std::string& prefix = "bk_", const std::string& suffix = ".txt") {
    const std::string path = series_ + "/" + prefix + DateText(kToday - age) + suffix;
    WriteFile(path, "age " + std::to_string(age));
    return path;
  }
  // The ages of the dated names prefix + "YYYY-MM-DD" + suffix in the series folder.
  std::set<i64> Ages(const std::string& prefix = "bk_", const std::string& suffix = ".txt") {
    std::set<i64> ages;
    for (const std::string& name : Names(series_)) {
      if (name.size() != prefix.size() + 10 + suffix.size()) continue;
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
      int y = 0, m = 0, d = 0;
      if (std::sscanf(name.c_str() + prefix.size(), "%4d-%2d-%2d", &y, &m, &d) != 3) continue;
      const i64 day = DayOf(y, m, d);
      if (name.compare(prefix.size(), 10, DateText(day)) != 0) continue;  // 30 February and the like
      ages.insert(kToday - day);
    }
    return ages;
  }
  std::string Target(const std::string& name) const { return series_ + "/" + name; }

  ScratchDir dir_;
  FixedClock clock_{kToday};
  RunRig rig_;
  std::string series_, source_;
};

TEST_F(ShrinkWorker, TheTwoYoungestStayWhenNoCopyIsDue) {
  for (i64 age = 0; age <= 10; ++age) Dated(age);
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt")), JOB_DONE);
  EXPECT_EQ(Ages(), (std::set<i64>{0, 1, 3, 10}));
  EXPECT_EQ(rig_.Copied(), 7u);  // deletions count as handled files
  EXPECT_EQ(ReadFile(Target("bk_" + DateText(kToday) + ".txt")), "age 0");
}

TEST_F(ShrinkWorker, ADueSeriesGetsANewCopyThenIsThinned) {
  for (const i64 age : {8, 9, 10, 11, 12, 13, 14, 30, 31, 60, 100, 400, 401}) Dated(age);
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt")), JOB_DONE);
  EXPECT_EQ(Ages(), (std::set<i64>{0, 8, 14, 31, 60, 100, 401}));
  EXPECT_EQ(ReadFile(Target("bk_" + DateText(kToday) + ".txt")), "current data");
  EXPECT_EQ(ReadFile(Target("bk_" + DateText(kToday - 8) + ".txt")), "age 8");
}

TEST_F(ShrinkWorker, DailyRunsForMoreThanAYear) {
  const i64 first = kToday - 399;
  for (i64 day = first; day <= kToday; ++day) {
    clock_.Set(day);
    WriteFile(source_, "state of " + DateText(day));
    ASSERT_EQ(Run(source_, Target("bk_#D#.txt")), JOB_DONE) << DateText(day);
  }
  EXPECT_EQ(Ages(), (std::set<i64>{7, 15, 23, 47, 79, 111, 207, 303, 399}));
  EXPECT_EQ(ReadFile(Target("bk_" + DateText(kToday - 7) + ".txt")), "state of " + DateText(kToday - 7));
}

TEST_F(ShrinkWorker, SpacingOneMakesACopyEveryOtherDay) {
  std::vector<i64> made;
  for (i64 day = kToday - 20; day <= kToday; ++day) {
    clock_.Set(day);
    ASSERT_EQ(Run(source_, Target("bk_#D#.txt"), "1"), JOB_DONE);
    if (Exists(Target("bk_" + DateText(day) + ".txt"))) made.push_back(day);
  }
  for (std::size_t i = 1; i < made.size(); ++i) EXPECT_EQ(made[i] - made[i - 1], 2);
  // Below 28 days every copy stays: they lie two days apart.
  EXPECT_EQ(Ages().size(), made.size());
}

TEST_F(ShrinkWorker, AgesCountInLocalCalendarDays) {
  // 00:30 in Central Europe is still yesterday in UTC: the copy of eight local days ago is due.
  clock_.Set(kToday, 0, 30);
  Dated(8);
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt")), JOB_DONE);
  EXPECT_EQ(Ages(), (std::set<i64>{0, 8}));
  clock_.Set(kToday + 1, 0, 30);
  Dated(7 - 1);  // seven local days before tomorrow: not yet due
  const auto before = Names(series_);
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt")), JOB_DONE);
  EXPECT_FALSE(Names(series_).count("bk_" + DateText(kToday + 1) + ".txt"));
  EXPECT_EQ(Names(series_).size(), before.size());
}

TEST_F(ShrinkWorker, NamesThatAreNotTagOutputNeverCount) {
  for (const i64 age : {8, 9, 10, 11, 12, 13}) Dated(age);
  const std::vector<std::string> others = {
      "bk_final.txt",           "bk_2026-1-5.txt",  "bk_2026-02-30.txt",   "bk_02026-12-01.txt",
      "bk_2026-12-01 .txt",     "bk_06.12.2026.txt", "bk_2026-12-06x.txt", "bk_2026-12-06 (So).txt",
      "bk_" + DateText(kToday) + "_alt.txt",
  };
  for (const std::string& name : others) WriteFile(Target(name), "mine");
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt")), JOB_DONE);
  for (const std::string& name : others) EXPECT_EQ(ReadFile(Target(name)), "mine") << name;
  // Today's look-alikes did not pass for today's copy: a new one was made.
  EXPECT_EQ(ReadFile(Target("bk_" + DateText(kToday) + ".txt")), "current data");
  EXPECT_EQ(Ages(), (std::set<i64>{0, 8, 13}));
}

TEST_F(ShrinkWorker, WeekdayTagWithTheBlankBeforeTheRest) {
  // "#d#" followed by "-" gets the date, the weekday and a blank.
  const auto name = [](i64 day, const char* weekday) {
    return "bk_" + DateText(day) + " (" + weekday + ") -x.log";
  };
  WriteFile(Target(name(kToday - 9, "Fr")), "nine");       // 2026-11-27 was a Friday
  WriteFile(Target(name(kToday - 10, "Do")), "ten");       // a Thursday
  WriteFile(Target(name(kToday - 11, "Mo")), "wrong day"); // a Wednesday, so no copy
  WriteFile(Target("bk_" + DateText(kToday - 12) + " (Di)-x.log"), "no blank");
  EXPECT_EQ(Run(source_, Target("bk_#d#-x.log")), JOB_DONE);
  EXPECT_EQ(ReadFile(Target(name(kToday, "So"))), "current data");
  EXPECT_EQ(ReadFile(Target(name(kToday - 11, "Mo"))), "wrong day");
  EXPECT_EQ(ReadFile(Target("bk_" + DateText(kToday - 12) + " (Di)-x.log")), "no blank");
  EXPECT_TRUE(Exists(Target(name(kToday - 9, "Fr"))));
  EXPECT_TRUE(Exists(Target(name(kToday - 10, "Do"))));
}

TEST_F(ShrinkWorker, GenerationSeriesIsListedAgainAfterTheRotation) {
  // Generation k holds the copy of age ages[k]; its creation time says so.
  const std::vector<i64> ages = {8, 9, 10, 11, 30, 400};
  for (std::size_t k = 0; k < ages.size(); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "gen_%02zu.txt", k);
    WriteFile(Target(name), "age " + std::to_string(ages[k]));
    ASSERT_EQ(SysTestSetCreationTime(Target(name).c_str(), FixedClock::LocalTime(kToday - ages[k], 9, 0)), 0);
  }
  WriteFile(Target("gen_7.txt"), "mine");  // one digit, not two: no generation
  EXPECT_EQ(Run(source_, Target("gen_#2#.txt")), JOB_DONE);
  std::multiset<std::string> contents;
  for (const std::string& name : Names(series_)) contents.insert(ReadFile(Target(name)));
  // Ages 9 and 10 lie within a week of 11; the previous newest (8) stays.
  EXPECT_EQ(contents, (std::multiset<std::string>{"current data", "age 8", "age 11", "age 30", "age 400", "mine"}));
  EXPECT_EQ(ReadFile(Target("gen_00.txt")), "current data");
  EXPECT_EQ(ReadFile(Target("gen_01.txt")), "age 8");
}

TEST_F(ShrinkWorker, WithoutBirthTimesGenerationsAreNeverThinned) {
  struct statx st {};
  ASSERT_EQ(::statx(AT_FDCWD, series_.c_str(), 0, STATX_BTIME, &st), 0);
  if (st.stx_mask & STATX_BTIME) GTEST_SKIP() << "this file system keeps birth times";
  // The change time that stands in for them is renewed by every rename of the rotation.
  for (int k = 0; k < 5; ++k) WriteFile(Target("gen_" + std::to_string(k) + ".txt"), "gen " + std::to_string(k));
  EXPECT_EQ(Run(source_, Target("gen_#1#.txt")), JOB_DONE);
  EXPECT_EQ(Names(series_).size(), 6u);
  EXPECT_EQ(ReadFile(Target("gen_0.txt")), "current data");
  EXPECT_EQ(ReadFile(Target("gen_5.txt")), "gen 4");
}

TEST_F(ShrinkWorker, AFullGenerationChainEndsTheRowUntouched) {
  for (int k = 0; k <= 9; ++k) {
    const std::string path = Target("g" + std::to_string(k) + ".txt");
    WriteFile(path, "gen " + std::to_string(k));
    ASSERT_EQ(SysTestSetCreationTime(path.c_str(), FixedClock::LocalTime(kToday - 8 - k, 9, 0)), 0);
  }
  EXPECT_EQ(Run(source_, Target("g#1#.txt"), "", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(rig_.boxes.size(), 1u);
  EXPECT_NE(rig_.boxes[0].text.find("hat zuviele Einträge"), std::string::npos);
  EXPECT_EQ(Names(series_).size(), 10u);
  EXPECT_EQ(ReadFile(Target("g0.txt")), "gen 0");
}

TEST_F(ShrinkWorker, FolderSeriesCopiesWithoutExcludedFoldersAndDeletesWholeFolders) {
  const std::string src = dir_ / "src";
  WriteFile(src + "/a.txt", "a");
  WriteFile(src + "/skip/b.txt", "b");
  WriteFile(src + "/keep/c.txt", "c");
  for (const i64 age : {8, 9, 10, 20}) WriteFile(series_ + "/snap_" + DateText(kToday - age) + "/f.txt", "old");
  WriteFile(series_ + "/snap_" + DateText(kToday - 30), "a file, not a folder copy");
  EXPECT_EQ(Run(src, Target("snap_#D#/"), "7;skip"), JOB_DONE);
  const std::string made = series_ + "/snap_" + DateText(kToday);
  EXPECT_EQ(ReadFile(made + "/a.txt"), "a");
  EXPECT_EQ(ReadFile(made + "/keep/c.txt"), "c");
  EXPECT_FALSE(Exists(made + "/skip"));
  EXPECT_FALSE(Exists(series_ + "/snap_" + DateText(kToday - 9)));
  EXPECT_TRUE(Exists(series_ + "/snap_" + DateText(kToday - 8) + "/f.txt"));
  EXPECT_TRUE(Exists(series_ + "/snap_" + DateText(kToday - 10) + "/f.txt"));
  EXPECT_TRUE(Exists(series_ + "/snap_" + DateText(kToday - 20) + "/f.txt"));
  EXPECT_EQ(ReadFile(series_ + "/snap_" + DateText(kToday - 30)), "a file, not a folder copy");
}

TEST_F(ShrinkWorker, AnotherComputerChangesNothing) {
  for (i64 age = 8; age <= 18; ++age) Dated(age);
  const auto before = Names(series_);
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt"), "*[other-pc]"), JOB_DONE);
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt"), "7,28;*[other-pc];cache"), JOB_DONE);
  EXPECT_EQ(Run(dir_ / "missing.txt", Target("bk_#D#.txt"), "*[other-pc]", RUN_DIALOG), JOB_DONE);
  EXPECT_EQ(Names(series_), before);
  EXPECT_TRUE(rig_.boxes.empty());
  // This computer, by its short name in any case.
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt"), "7;*[KPW-SHRINK-PC]"), JOB_DONE);
  EXPECT_TRUE(Ages().count(0));
  EXPECT_LT(Ages().size(), before.size());
}

TEST_F(ShrinkWorker, TheTargetSignWantsTheSeriesFolder) {
  const std::string absent = dir_ / "absent";
  EXPECT_EQ(Run(source_, absent + "/bk_#D#.txt", "*"), JOB_DONE);
  EXPECT_FALSE(Exists(absent));
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt"), "*"), JOB_DONE);
  EXPECT_EQ(ReadFile(Target("bk_" + DateText(kToday) + ".txt")), "current data");
  // Without the sign a missing series folder is made.
  EXPECT_EQ(Run(source_, absent + "/bk_#D#.txt"), JOB_DONE);
  EXPECT_TRUE(Exists(absent + "/bk_" + DateText(kToday) + ".txt"));
}

TEST_F(ShrinkWorker, ParameterErrorsChangeNothing) {
  for (i64 age = 0; age <= 10; ++age) Dated(age);
  const auto before = Names(series_);
  EXPECT_EQ(Run(dir_ / "missing.txt", Target("bk_#D#.txt"), "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Run("/", Target("bk_#D#.txt"), "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Run(source_, Target("bk.txt"), "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Run(source_, Target("bk_#7#.txt"), "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Run(source_, series_ + "/#D#/bk.txt", "", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(rig_.boxes.size(), 5u);
  EXPECT_EQ(rig_.boxes[0].text, "Die Datei '" + dir_ / "missing.txt" + "' wurde nicht gefunden !");
  EXPECT_EQ(rig_.boxes[1].text, "Das Laufwerk '/' kann nicht verdünnt werden !");
  EXPECT_EQ(rig_.boxes[2].text, "Es wurde kein Spezialpfad in '" + Target("bk.txt") + "' gefunden !");
  EXPECT_EQ(rig_.boxes[3].text, "Es wurde kein Spezialpfad in '" + Target("bk_#7#.txt") + "' gefunden !");
  EXPECT_EQ(rig_.boxes[4].text, "Falsche Pfadangebe '" + series_ + "/#D#/bk.txt' !");
  for (const auto& box : rig_.boxes) EXPECT_EQ(box.type, 0x11u);
  EXPECT_EQ(Names(series_), before);
  // Without questions allowed nothing is asked.
  rig_.boxes.clear();
  EXPECT_EQ(Run(source_, Target("bk.txt")), JOB_FAILED);
  EXPECT_TRUE(rig_.boxes.empty());
  // Cancel on the question stops all rows.
  rig_.answers = {IDCANCEL};
  EXPECT_EQ(Run(source_, Target("bk.txt"), "", RUN_DIALOG), JOB_STOP_ALL);
  EXPECT_TRUE(rig_.state.IsCancelled());
}

TEST_F(ShrinkWorker, ACancelledRunDeletesNothing) {
  for (i64 age = 0; age <= 10; ++age) Dated(age);
  const auto before = Names(series_);
  rig_.state.SetCancel();
  EXPECT_EQ(Run(source_, Target("bk_#D#.txt")), JOB_STOP_ALL);
  EXPECT_EQ(Names(series_), before);
}

// What a child that may not delete in the series folder reports back through a file: the
// result, the cancel flag and the number of questions.
struct ChildOutcome {
  int result = 99;
  bool cancelled = false;
  int questions = -1;
};

TEST_F(ShrinkWorker, AbortAndIgnoreOnAFailedDeletion) {
  for (i64 age = 0; age <= 10; ++age) Dated(age);
  ASSERT_EQ(::chmod(series_.c_str(), 0555), 0);
  const std::string tally = dir_ / "tally";
  const auto child = [&](std::vector<int> answers) {
    ChildOutcome out;
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(1);
      rig_.answers = std::move(answers);
      const int result = Run(source_, Target("bk_#D#.txt"), "", RUN_DIALOG);
      FILE* f = std::fopen(tally.c_str(), "w");
      if (f) {
        std::fprintf(f, "%d %d %zu", result, rig_.state.IsCancelled() ? 1 : 0, rig_.boxes.size());
        std::fclose(f);
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    int cancelled = 0;
    if (FILE* f = std::fopen(tally.c_str(), "r")) {
      if (std::fscanf(f, "%d %d %d", &out.result, &cancelled, &out.questions) != 3) out.result = 99;
      std::fclose(f);
    }
    out.cancelled = cancelled != 0;
    return out;
  };
  ::chmod(dir_.path().c_str(), 0777);  // the child writes its tally here
  const auto before = Names(series_);

  const ChildOutcome aborted = child({IDRETRY, IDABORT});
  EXPECT_EQ(aborted.result, JOB_STOP_ALL);
  EXPECT_TRUE(aborted.cancelled);
  EXPECT_EQ(aborted.questions, 2);  // the retry, then the abort: no further copy is tried

  const ChildOutcome ignored = child({});
  EXPECT_EQ(ignored.result, JOB_FAILED);
  EXPECT_FALSE(ignored.cancelled);
  EXPECT_EQ(ignored.questions, 7);  // every copy that was to go, once
  EXPECT_EQ(Names(series_), before);
  ::chmod(series_.c_str(), 0755);
}

TEST_F(ShrinkWorker, AZipTargetCopiesASourceThatIsAnArchive) {
  const std::string archive = dir_ / "data.zip";
  WriteFile(archive, "these bytes are copied as they stand");
  EXPECT_EQ(Run(archive, Target("data_#D#.zip")), JOB_DONE);
  EXPECT_EQ(ReadFile(Target("data_" + DateText(kToday) + ".zip")), "these bytes are copied as they stand");
}

}  // namespace
