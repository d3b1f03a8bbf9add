// "Kopiwart": versions by size, marking and deleting after the days, vanished folders, and the
// kept connection, on real folders, over real FTP servers and through the program.
#include "jobs/job_model.h"
#include "jobs/workers/kopiwart_rules.h"
#include "jobs/workers/remote_workers.h"
#include "tests/support/fat_images.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <string>

namespace {

using namespace kpwtest;

constexpr std::int64_t kDay = 86400;
constexpr char kMarks[] = ".kopiwart-marken";

std::string operator/(const std::string& folder, const char* name) { return folder + "/" + name; }

// The mark a local target keeps on a file (seconds since 1970), or -1.
std::int64_t Mark(const std::string& path) {
  char text[32] = {};
  const ssize_t n = ::getxattr(path.c_str(), "user.kopiwart.mark", text, sizeof text - 1);
  return n > 0 ? std::stoll(text) : -1;
}

TEST(KopiwartRules, ClassesRotationsAndTimes) {
  const std::vector<KopiwartPair> defaults = KopiwartParseExtra("").pairs;
  EXPECT_EQ(KopiwartCopiesFor(defaults, 10), 4);  // below every size: the second pair
  EXPECT_EQ(KopiwartCopiesFor(defaults, 300 * 1024), 3);
  EXPECT_EQ(KopiwartCopiesFor(defaults, 5u << 20), 1);
  EXPECT_EQ(KopiwartCopiesFor(KopiwartParseExtra("100,5").pairs, 10), 5);
  // A class takes files of at least its size: each border itself belongs to the class above it.
  const std::pair<u64, int> borders[] = {{64, 4}, {256, 3}, {1024, 2}, {4096, 1}};
  for (const auto& [kib, copies] : borders) {
    EXPECT_EQ(KopiwartCopiesFor(defaults, kib * 1024), copies) << kib;
    EXPECT_EQ(KopiwartCopiesFor(defaults, kib * 1024 - 1), kib == 64 ? 4 : copies + 1) << kib;
  }
  // With a first class that does not take the smallest files, 64 KiB is its border too.
  const std::vector<KopiwartPair> steps = KopiwartParseExtra("0,30,1,9,64,5").pairs;
  EXPECT_EQ(KopiwartCopiesFor(steps, 64 * 1024), 5);
  EXPECT_EQ(KopiwartCopiesFor(steps, 64 * 1024 - 1), 9);

  using S = std::vector<KopiwartStep>;
  const auto del = [](int k) { return KopiwartStep{false, k, k}; };
  const auto ren = [](int a, int b) { return KopiwartStep{true, a, b}; };
  EXPECT_EQ(KopiwartPlanRotation(4, 0b1111), (S{del(3), ren(2, 3), ren(1, 2), ren(0, 1)}));
  EXPECT_EQ(KopiwartPlanRotation(4, 0b101), (S{ren(0, 1)}));
  EXPECT_EQ(KopiwartPlanRotation(4, 0b1011), (S{ren(1, 2), ren(0, 1)}));
  EXPECT_EQ(KopiwartPlanRotation(3, 0b11111), (S{del(2), del(3), del(4), ren(1, 2), ren(0, 1)}));
  EXPECT_EQ(KopiwartPlanRotation(2, 0b100011), (S{del(1), del(5), ren(0, 1)}));
  // One copy: the current file stays until its successor is whole.
  EXPECT_EQ(KopiwartPlanRotation(1, 0b111), (S{del(1), del(2)}));
  EXPECT_EQ(KopiwartPlanRotation(4, 0b110), S{});

  std::string base;
  int version = 0;
  EXPECT_TRUE(KopiwartSplitVersion("a.txt.BAK9", &base, &version));
  EXPECT_EQ(base + "/" + std::to_string(version), "a.txt/10");
  EXPECT_FALSE(KopiwartSplitVersion(".bak0", &base, &version));
  EXPECT_EQ(KopiwartVersionName("f", 3), "f.bak2");
  for (const std::int64_t d : {0, 2, 3558, 3600, 3602}) EXPECT_TRUE(KopiwartTimesEqual(kT + d, kT)) << d;
  for (const std::int64_t d : {3, 3557, 3603}) EXPECT_FALSE(KopiwartTimesEqual(kT, kT + d)) << d;
  EXPECT_FALSE(KopiwartTimesEqual(INT64_MIN, INT64_MAX));
  EXPECT_TRUE(KopiwartTimesEqual(-3600 * 24, -3600 * 25));
  EXPECT_EQ(FileTimeDiffDays(31 * 864'000'000'000ULL, 0), 31);
  EXPECT_EQ(FileTimeDiffSeconds(0, 10'000'000ULL * 0x8000000), -0x7000000);
}

// A worker call at a fixed "now".
struct Row {
  RunRig rig;
  ScopedTestEnv env;
  explicit Row(std::int64_t now = kT) { SetNow(now); }
  void SetNow(std::int64_t now) { TestEnv().clock = [now] { return now; }; }
  int Run(const std::string& source, const std::string& target, const std::string& extra = "", u32 flags = 0,
          int subdirs = 1, const std::string& plus = "") {
    const int result = rig.Call(RunKopiwart, source, target, flags, plus, "", subdirs, extra);
    if (!(flags & RUN_CONTINUE_NEXT)) rig.state.Carry().Release(false);  // as the runner does
    return result;
  }
};

TEST(KopiwartLocal, KeepsVersionsBySizeAndWritesNothingForAnUnchangedTree) {
  TempDir dir("kopiwart");
  const std::string src = dir / "src", dst = dir / "dst";
  Put(src / "big.bin", std::string(100 * 1024, '0'));
  Put(src / "small.txt", "v0");
  Put(src / "sub/deep.txt", "d");
  Put(src / "sub/Deep.txt", "D");  // names differ in case: two files
  Row row;
  ASSERT_EQ(row.Run(src, dst), JOB_DONE) << row.rig.TakeBoxes();
  EXPECT_EQ(Contents(dst / "sub"), "Deep.txt=D deep.txt=d");
  ASSERT_EQ(::unlink((src / "sub/Deep.txt").c_str()), 0);
  std::filesystem::remove(dst / "sub/Deep.txt");
  EXPECT_EQ(Listing(dst), "big.bin small.txt sub/ sub/deep.txt");
  EXPECT_EQ(MTime(dst / "big.bin"), kT);  // the copy has the source's time
  // Unchanged: nothing is written; a small file of the same bytes but another time stays too.
  SetMTime(dst / "small.txt", kT - 500);
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  EXPECT_EQ(row.rig.Copied(), 4u);
  EXPECT_EQ(Listing(dst), "big.bin small.txt sub/ sub/deep.txt");
  // Five changes of a 100 KiB file keep four copies, the newest in the file itself.
  for (char v = '1'; v <= '5'; ++v) {
    Put(src / "big.bin", std::string(100 * 1024, v), kT + 10 * (v - '0'));
    ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  }
  EXPECT_EQ(Listing(dst), "big.bin big.bin.bak0 big.bin.bak1 big.bin.bak2 small.txt sub/ sub/deep.txt");
  EXPECT_EQ(ReadFile(dst / "big.bin")[0], '5');
  EXPECT_EQ(ReadFile(dst / "big.bin.bak0")[0], '4');
  EXPECT_EQ(ReadFile(dst / "big.bin.bak2")[0], '2');
  // Own pairs for files below 1 KiB: two copies (a stray third version goes), then one, replaced
  // whole.
  Put(src / "small.txt", "v1", kT + 20);
  Put(dst / "small.txt.bak1", "stray");
  ASSERT_EQ(row.Run(src, dst, "0,30,1,2"), JOB_DONE);
  EXPECT_EQ(ReadFile(dst / "small.txt") + ReadFile(dst / "small.txt.bak0"), "v1v0");
  EXPECT_FALSE(Exists(dst / "small.txt.bak1"));
  Put(src / "small.txt", "v2", kT + 40);
  ASSERT_EQ(row.Run(src, dst, "0,30,1,1"), JOB_DONE);
  EXPECT_EQ(ReadFile(dst / "small.txt"), "v2");
  EXPECT_EQ(Listing(dst), "big.bin big.bin.bak0 big.bin.bak1 big.bin.bak2 small.txt sub/ sub/deep.txt");
}

TEST(KopiwartLocal, AVanishedFileIsMarkedAndDeletedWithItsVersionsOnlyAfterTheDays) {
  TempDir dir("kopiwart-vanish");
  const std::string src = dir / "src", dst = dir / "dst";
  Put(src / "keep.txt", "k");
  Put(src / "gone.txt", "1");
  Row row;
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  Put(src / "gone.txt", "2", kT + 10);
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  ASSERT_EQ(::unlink((src / "gone.txt").c_str()), 0);
  // The files are old, but the days count from the mark, which the files carry themselves and
  // which moves neither their content nor their times.
  row.SetNow(kT + 100 * kDay);
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  EXPECT_EQ(Listing(dst), "gone.txt gone.txt.bak0 keep.txt");
  EXPECT_EQ(Mark(dst / "gone.txt"), kT + 100 * kDay);
  EXPECT_EQ(Mark(dst / "gone.txt.bak0"), kT + 100 * kDay);
  EXPECT_EQ(Mark(dst / "keep.txt"), -1);
  EXPECT_EQ(MTime(dst / "gone.txt"), kT + 10);
  EXPECT_EQ(ReadFile(dst / "gone.txt"), "2");
  row.SetNow(kT + 130 * kDay + 100);
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);  // 30 days are not more than 30
  EXPECT_EQ(Listing(dst), "gone.txt gone.txt.bak0 keep.txt");
  row.SetNow(kT + 131 * kDay + 100);
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  EXPECT_EQ(Listing(dst), "keep.txt");
  // A file that comes back loses its mark.
  ASSERT_EQ(::unlink((src / "keep.txt").c_str()), 0);
  Put(src / "other.txt", "o");
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  EXPECT_EQ(Mark(dst / "keep.txt"), kT + 131 * kDay + 100);
  Put(src / "keep.txt", "k");
  ASSERT_EQ(row.Run(src, dst), JOB_DONE);
  EXPECT_EQ(Listing(dst), "keep.txt other.txt");
  EXPECT_EQ(Mark(dst / "keep.txt"), -1);
}

// A mark no run could have set (beyond 64 bits, 0 or below, more than a day ahead) is damaged:
// the file is marked anew and waits its days from then, on local files and in a mark record.
TEST(KopiwartLocal, DamagedMarksCountAsNoneAndDeleteNothing) {
  TempDir dir("kopiwart-damaged", ImageBase());
  const std::string src = dir / "src", dst = dir / "dst";
  Put(src / "keep.txt", "k");
  const std::vector<std::string> damaged = {"99999999999999999999", "0", "-5", std::to_string(kT + 2 * kDay),
                                            "-99999999999999999999"};
  const std::string image = MakeFatImage(dir, "fat.img", 12, 8192);
  std::string record;
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    const std::string name = "gone" + std::to_string(i) + ".txt";
    Put(dst / name.c_str(), "g");
    ASSERT_EQ(::setxattr((dst / name.c_str()).c_str(), "user.kopiwart.mark", damaged[i].data(), damaged[i].size(), 0), 0);
    record += damaged[i] + " " + name + "\n";
    MustRun(Mtools("mcopy", image, "-o " + Quote(dst / name.c_str()) + " ::/" + name));
  }
  Put(dir / "record", record);
  MustRun(Mtools("mcopy", image, "-o " + Quote(dir / "record") + " ::/" + kMarks));
  const std::string url = DiskUrl(image);
  Row row;
  for (const std::string& target : {dst, url}) {
    SCOPED_TRACE(target);
    row.SetNow(kT);
    ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
    row.SetNow(kT + 30 * kDay);
    ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  }
  EXPECT_EQ(Listing(dst), "gone0.txt gone1.txt gone2.txt gone3.txt gone4.txt keep.txt");
  for (std::size_t i = 0; i < damaged.size(); ++i)
    EXPECT_EQ(Mark(dst / ("gone" + std::to_string(i) + ".txt").c_str()), kT) << damaged[i];
  std::string marked;
  for (std::size_t i = 0; i < damaged.size(); ++i) marked += std::to_string(kT) + " gone" + std::to_string(i) + ".txt\n";
  EXPECT_EQ(Mtype(image, std::string("/") + kMarks), marked);
  EXPECT_EQ(MdirAll(image).size(), damaged.size() + 2);
  // The days count from the new marks.
  row.SetNow(kT + 31 * kDay + 10);
  for (const std::string& target : {dst, url}) ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  EXPECT_EQ(Listing(dst), "keep.txt");
  EXPECT_EQ(MdirAll(image), (std::vector<std::string>{"/keep.txt"}));
  EXPECT_FSCK_CLEAN(image);
}

// A file kept in one copy is written beside itself under a name no entry of its folder has: a
// file named like that copy, waiting out its days, is never overwritten.
TEST(KopiwartLocal, TheNewCopyOfAFileKeptOnceTakesNoOtherFilesName) {
  TempDir dir("kopiwart-newcopy", ImageBase());
  const std::string src = dir / "src", dst = dir / "dst";
  Put(src / "a.txt", "new", kT + 60);
  Put(dst / "a.txt", "old");
  Put(dst / "a.txt.kopiwart-neu", "mine");
  const std::string image = MakeFatImage(dir, "fat.img", 12, 8192);
  MustRun(Mtools("mcopy", image, Quote(dst / "a.txt") + " ::/a.txt") + " && " +
          Mtools("mcopy", image, Quote(dst / "a.txt.kopiwart-neu") + " ::/A.TXT.KOPIWART-NEU"));
  const std::string url = DiskUrl(image);
  Row row;
  for (const std::string& target : {dst, url}) ASSERT_EQ(row.Run(src, target, "0,30,1,1"), JOB_DONE) << row.rig.TakeBoxes();
  EXPECT_EQ(Contents(dst), "a.txt=new a.txt.kopiwart-neu=mine");
  EXPECT_EQ(Mtype(image, "/a.txt") + " " + Mtype(image, "/a.txt.kopiwart-neu"), "new mine");
  // The user's file, whose source is missing, is marked like any other.
  EXPECT_EQ(MdirAll(image), (std::vector<std::string>{std::string("/") + kMarks, "/A.TXT.KOPIWART-NEU", "/a.txt"}));
  EXPECT_FSCK_CLEAN(image);
}

TEST(KopiwartLocal, WhereFilesCannotCarryMarksNothingIsDeleted) {
  TempDir dir("kopiwart-nomarks");
  const std::string src = dir / "src", ram = dir / "ram";
  Put(src / "keep.txt", "k");
  Put(src / "gone.txt", "g");
  std::filesystem::create_directories(ram);
  const int result = InChild([&] {
    // ramfs keeps no extended attributes; mounted where only this child sees it.
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("none", ram.c_str(), "ramfs", 0, nullptr) != 0)
      return 77;
    Row row;
    if (row.Run(src, ram) != JOB_DONE || !row.rig.state.TakeNotes().empty()) return 1;
    ::unlink((src / "gone.txt").c_str());
    for (const std::int64_t day : {0, 100}) {
      row.SetNow(kT + day * kDay);
      if (row.Run(src, ram) != JOB_DONE) return 2;
      const std::vector<std::string> notes = row.rig.state.TakeNotes();
      if (notes.size() != 1 || notes.front().find("kann keine erweiterten Attribute speichern") == std::string::npos)
        return 3;
    }
    return Listing(ram) == "gone.txt keep.txt" ? 0 : 4;
  });
  if (result == 77) GTEST_SKIP() << "no private ramfs mount here (needs root)";
  EXPECT_EQ(result, 0);
}

TEST(KopiwartLocal, VanishedFoldersWaitAndExcludedOrUnlistedOnesAreNeverTouched) {
  TempDir dir("kopiwart-folders");
  const std::string src = dir / "src", dst = dir / "dst";
  Put(src / "a.txt", "a");
  Put(dst / "old/x.txt", "x");
  Put(dst / "old/inner/y.txt", "y");
  Put(dst / "skip/z.txt", "z");
  Row row;
  ASSERT_EQ(row.Run(src, dst, ";skip"), JOB_DONE) << row.rig.TakeBoxes();
  EXPECT_TRUE(Exists(dst / "old/x.txt"));
  row.SetNow(kT + 59 * kDay);  // a gone folder waits at least 60 days, whatever the row's days
  ASSERT_EQ(row.Run(src, dst, "0,5;skip"), JOB_DONE);
  EXPECT_TRUE(Exists(dst / "old/inner/y.txt"));
  row.SetNow(kT + 62 * kDay);
  ASSERT_EQ(row.Run(src, dst, ";skip", 0, 0), JOB_DONE);  // without subfolders nothing below is looked at
  EXPECT_TRUE(Exists(dst / "old/inner/y.txt"));
  ASSERT_EQ(row.Run(src, dst, "0,5;skip"), JOB_DONE);
  EXPECT_EQ(Listing(dst), "a.txt skip/ skip/z.txt");
}

TEST(KopiwartLocal, RefusesEmptyOrMissingSourcesAndStopsAFileWhoseVersionsCannotMove) {
  TempDir dir("kopiwart-fail");
  const std::string src = dir / "src", dst = dir / "dst";
  Put(dst / "precious.txt", "p");
  std::filesystem::create_directories(src);
  Row row;
  // An empty source beside a filled target is a source that is not mounted.
  EXPECT_EQ(row.Run(src, dst, "", RUN_DIALOG), JOB_FAILED);
  EXPECT_NE(row.rig.TakeBoxes().find("Die Quelle enthält keine Dateien"), std::string::npos);
  EXPECT_EQ(row.Run(dir / "none", dst, "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(row.rig.TakeBoxes(), "Das Quellverzeichniss wurde nicht gefunden:\n" + (dir / "none") + "\n");
  EXPECT_EQ(Listing(dst), "precious.txt");
  // A source folder that cannot be read is no empty folder: its target keeps everything.
  Put(src / "locked/l.txt", "l");
  ::chmod((src / "locked").c_str(), 0);
  ::chmod(dir.path().c_str(), 0777);
  const int unreadable = InChild([&] {
    if (::geteuid() == 0 && !BecomeNobody()) return 77;
    Put(dir / "copy/locked/old.txt", "o");
    Row nobody;
    for (const std::int64_t day : {0, 100}) {
      nobody.SetNow(kT + day * kDay);
      if (nobody.Run(src, dir / "copy") != JOB_FAILED) return 1;
    }
    return Listing(dir / "copy/locked") == "old.txt" ? 0 : 2;
  });
  ::chmod((src / "locked").c_str(), 0755);
  std::filesystem::remove_all(src / "locked");
  std::filesystem::remove_all(dir / "copy");
  EXPECT_EQ(unreadable, 0);
  // "*": a target that is not there is no failure, and nothing is made.
  Put(src / "precious.txt", "new", kT + 9);
  EXPECT_EQ(row.Run(src, dir / "absent", "*"), JOB_DONE);
  EXPECT_FALSE(Exists(dir / "absent"));
  // A folder in the way of version 1: the file is not replaced; the row fails.
  std::filesystem::create_directories(dst / "precious.txt.bak0");
  EXPECT_EQ(row.Run(src, dst, "", RUN_DIALOG), JOB_FAILED);
  EXPECT_NE(row.rig.TakeBoxes().find("konnte nicht umbenannt werden"), std::string::npos);
  EXPECT_EQ(ReadFile(dst / "precious.txt"), "p");
  // A source file named like a version of another is not copied.
  Put(src / "precious.txt.bak0", "fake");
  std::filesystem::remove(dst / "precious.txt.bak0");
  EXPECT_EQ(row.Run(src, dst), JOB_FAILED);
  EXPECT_EQ(ReadFile(dst / "precious.txt.bak0"), "p");
  EXPECT_EQ(ReadFile(dst / "precious.txt"), "new");
}

TEST(KopiwartDisk, KeepsVersionsOnAFatImage) {
  TempDir dir("kopiwart-disk", ImageBase());
  const std::string image = dir / "fat.img";
  MustRun("truncate -s 8M " + Quote(image) + " && mkfs.fat -F 12 " + Quote(image));
  std::string escaped;
  for (const char ch : image) escaped += ch == '/' ? std::string("%2F") : std::string(1, ch);
  const std::string target = "disk://" + escaped + "/kw";
  const std::string src = dir / "src";
  Put(src / "a.txt", "1");
  Row row;
  ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  ASSERT_EQ(row.Run(src, target), JOB_DONE);
  EXPECT_EQ(row.rig.Copied(), 1u);
  Put(src / "a.txt", "2", kT + 60);
  Put(src / "b.txt", "b");
  ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  std::string read;
  for (const char* name : {"a.txt", "a.txt.bak0", "b.txt"}) read += MustRun("mtype -i " + Quote(image) + " ::/kw/" + name);
  EXPECT_EQ(read, "21b");
}

TEST(KopiwartDisk, KeepsVersionsOnAnExt4Image) {
  if (!HaveTool("mke2fs") || !HaveTool("debugfs") || !HaveTool("e2fsck")) GTEST_SKIP() << "e2fsprogs is missing";
  TempDir dir("kopiwart-ext4", ImageBase());
  const std::string image = dir / "ext4.img";
  MustRun("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 8M");
  std::string escaped;
  for (const char ch : image) escaped += ch == '/' ? std::string("%2F") : std::string(1, ch);
  const std::string target = "disk://" + escaped + "/kw";
  const std::string src = dir / "src";
  Put(src / "a.txt", "1");
  Row row;
  ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  ASSERT_EQ(row.Run(src, target), JOB_DONE);
  EXPECT_EQ(row.rig.Copied(), 1u);
  Put(src / "a.txt", "2", kT + 60);
  Put(src / "b.txt", "b");
  ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  std::string read;
  for (const char* name : {"a.txt", "a.txt.bak0", "b.txt"})
    read += Shell("debugfs -R " + Quote(std::string("cat /kw/") + name) + " " + Quote(image) + " 2>/dev/null");
  EXPECT_EQ(read, "21b");
  EXPECT_EQ(Shell("e2fsck -fn " + Quote(image) + " 2>&1 | grep -v '^Pass \\|^e2fsck \\| files (' ; true"), "");
}

// A folder that folds names: the source's readme.txt is the target's README.TXT, so neither that
// file nor its versions are ever taken for ones whose source vanished.
TEST(KopiwartDisk, MergesByTheNamesAFatFolderTellsApart) {
  TempDir dir("kopiwart-fold", ImageBase());
  const std::string image = MakeFatImage(dir, "fat.img", 12, 8192);
  Put(dir / "old.txt", "old");
  Put(dir / "older.txt", "older");
  MustRun(Mtools("mmd", image, "::/kw") + " && " +
          Mtools("mcopy", image, Quote(dir / "old.txt") + " ::/kw/README.TXT") + " && " +
          Mtools("mcopy", image, Quote(dir / "older.txt") + " ::/kw/README.TXT.BAK0"));
  std::string escaped;
  for (const char ch : image) escaped += ch == '/' ? std::string("%2F") : std::string(1, ch);
  const std::string target = "disk://" + escaped + "/kw";
  const std::string src = dir / "src";
  Put(src / "readme.txt", "new", kT + 60);
  Put(src / "x:y", "a name FAT cannot hold");
  Row row;
  ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  row.SetNow(kT + 100 * kDay);
  ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  Put(src / "readme.txt", "newer", kT + 120);
  ASSERT_EQ(row.Run(src, target), JOB_DONE) << row.rig.TakeBoxes();
  std::string read;
  for (const char* name : {"readme.txt", "readme.txt.bak0", "readme.txt.bak1", "readme.txt.bak2"})
    read += Mtype(image, std::string("/kw/") + name) + " ";
  EXPECT_EQ(read, "newer new old older ");
  EXPECT_EQ(MdirAll(image).size(), 5u);
  const std::vector<std::string> notes = row.rig.state.TakeNotes();
  ASSERT_EQ(notes.size(), 3u);  // one a run
  EXPECT_NE(notes.front().find("kann diesen Namen nicht aufnehmen:\n"), std::string::npos) << notes.front();
  EXPECT_FSCK_CLEAN(image);
}

// ---- over FTP ------------------------------------------------------------------------------------

// Rotates, marks and deletes after the days, and writes nothing for an unchanged tree (the
// journal, when the server keeps one, shows no command that writes).
void RotateAndMark(FtpServer* server, bool journal) {
  ASSERT_TRUE(server);
  TempDir dir("kopiwart-ftp");
  const std::string src = dir / "src", served = server->Root() + "/b";
  Put(src / "big.bin", std::string(40000, 'a'));
  Put(src / "run.sh", "#!/bin/sh\n");
  Put(src / "sub/data.txt", "d");
  ::chmod((src / "run.sh").c_str(), 0755);
  Row row;
  ASSERT_EQ(row.Run(src, server->Url("b")), JOB_DONE) << row.rig.TakeBoxes();
  EXPECT_EQ(MTime(served + "/big.bin"), kT);
  const std::size_t before = journal ? server->Journal().size() : 0;
  ASSERT_EQ(row.Run(src, server->Url("b")), JOB_DONE);
  const std::string rerun = journal ? server->Journal().substr(before) : "";
  for (const char* verb : {"STOR", "RNFR", "DELE", "MFMT"}) EXPECT_EQ(rerun.find(verb), std::string::npos) << rerun;
  EXPECT_EQ(MTime(served + "/big.bin"), kT);
  Put(src / "big.bin", std::string(40000, 'b'), kT + 100);
  ASSERT_EQ(row.Run(src, server->Url("b")), JOB_DONE);
  EXPECT_EQ(ReadFile(served + "/big.bin")[0], 'b');
  EXPECT_EQ(ReadFile(served + "/big.bin.bak0")[0], 'a');
  // Gone from the source: a plain file and an executable alike are only marked at first.
  ASSERT_EQ(::unlink((src / "big.bin").c_str()), 0);
  ASSERT_EQ(::unlink((src / "run.sh").c_str()), 0);
  row.SetNow(kT + 100 * kDay);  // old files: the days count from the mark, whatever their mode
  ASSERT_EQ(row.Run(src, server->Url("b")), JOB_DONE);
  EXPECT_EQ(Listing(served), std::string(kMarks) + " big.bin big.bin.bak0 run.sh sub/ sub/data.txt");
  row.SetNow(kT + 131 * kDay + 10);
  ASSERT_EQ(row.Run(src, server->Url("b")), JOB_DONE) << row.rig.TakeBoxes();
  EXPECT_EQ(Listing(served), "sub/ sub/data.txt");
  // "*" asks the server whether the target is there.
  EXPECT_EQ(row.Run(src, server->Url("absent"), "*"), JOB_DONE);
  EXPECT_FALSE(Exists(server->Root() + "/absent"));
}

TEST(KopiwartFtp, RotatesMarksAndDeletesOnPyftpdlib) {
  auto server = FtpServer::Python({"journal"});
  RotateAndMark(server.get(), true);
}

// vsftpd lists a missing folder as empty and sets times with MDTM.
TEST(KopiwartFtp, RotatesMarksAndDeletesOnVsftpd) {
  if (!FtpServer::VsftpdMissing().empty()) GTEST_SKIP() << FtpServer::VsftpdMissing();
  auto server = FtpServer::Vsftpd();
  RotateAndMark(server.get(), false);
}

TEST(KopiwartFtp, AServerThatCannotSetTimesIsComparedByContent) {
  auto server = FtpServer::Python({"notimes"});
  ASSERT_TRUE(server);
  TempDir dir("kopiwart-notimes");
  const std::string src = dir / "src";
  Put(src / "big.bin", std::string(50000, 'x'));
  Row row;
  ASSERT_EQ(row.Run(src, server->Url("n")), JOB_DONE);
  EXPECT_EQ(row.rig.state.TakeNotes().size(), 0u);  // nothing was compared yet
  ASSERT_EQ(row.Run(src, server->Url("n")), JOB_DONE);
  EXPECT_EQ(Listing(server->Root() + "/n"), "big.bin");
  EXPECT_EQ(row.rig.Copied(), 1u);
  const std::vector<std::string> notes = row.rig.state.TakeNotes();
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes.front().find("kann die Änderungszeit von Dateien nicht setzen"), std::string::npos);
}

TEST(KopiwartFtp, RowsToTheSameServerShareOneConnection) {
  auto server = FtpServer::Python({"journal"});
  ASSERT_TRUE(server);
  TempDir dir("kopiwart-rows");
  Put(dir / "one/a.txt", "a");
  Put(dir / "two/b.txt", "b");
  Put(dir / "three/c.txt", "c");
  const std::string job = dir / "rows.kpw";
  WriteJobRows(job, {JobRow(dir / "one", server->Url("x/one"), "", "", "", "/KOPIWART"),
                     JobRow(dir / "two", server->Url("x/two"), "", "", "", "/KOPIWART"),
                     JobRow(dir / "three", dir / "local", "", "", "", "/KOPIWART")});
  std::filesystem::create_directories(dir / "tmp");
  const ProgramRun run =
      RunJobFile(job, {{{"KPW_TEST_NOW", std::to_string(kT)}, {"TMPDIR", dir / "tmp"}}, RLIM_INFINITY, kKopiwartTest});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Contents(server->Root() + "/x"), "one/a.txt=a two/b.txt=b");
  EXPECT_EQ(Contents(dir / "local"), "c.txt=c");
  EXPECT_EQ(Listing(dir / "tmp"), "");  // no temporary file is left behind
  const std::string journal = server->Journal();
  std::size_t logins = 0;
  for (std::size_t at = journal.find("USER "); at != std::string::npos; at = journal.find("USER ", at + 1)) ++logins;
  EXPECT_EQ(logins, 1u) << journal;
}

}  // namespace
