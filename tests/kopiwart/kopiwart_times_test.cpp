// "Kopiwart" and times that a target holds coarser or not at all: listings of minutes, times
// before 1970 in local folders, times outside what FAT, exFAT and ext4 volumes keep.
#include "jobs/job_model.h"
#include "jobs/workers/remote_workers.h"
#include "tests/support/exfat_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/memory_connection.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace kpwtest;

constexpr char kByContent[] = "nach ihrem Inhalt verglichen";

std::int64_t Utc(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  return static_cast<std::int64_t>(::timegm(&tm));
}

std::string AllNotes(CRunState& state) {
  std::string all;
  for (const std::string& note : state.TakeNotes()) all += note + "\n";
  return all;
}

// A store whose listing tells write times to the minute only, marked so, as FTP's LIST lines of
// recent files do; it tells the exact time (as MDTM does) only while exactTimes is set.
class MinuteListing : public MemoryConnection {
 public:
  bool exactTimes = false;
  int uploads = 0;
  int timesSet = 0;

  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override {
    Forward forward{context, entry};
    return MemoryConnection::ReadDir(path, &forward, &Coarse, filter);
  }
  BOOL GetFileTime(const char* path, FILETIME* lastWrite) override {
    const auto it = nodes.find(Abs(path));
    if (!exactTimes || it == nodes.end()) return CUrlConnection::GetFileTime(path, lastWrite);
    *lastWrite = it->second.write;
    return TRUE;
  }
  BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) override {
    ++uploads;
    return MemoryConnection::UploadFile(local, remote, r1, r2);
  }
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override {
    ++timesSet;
    return MemoryConnection::SetFileTime(path, lastWrite);
  }

 private:
  struct Forward {
    void* context;
    UrlEntryFn entry;
  };
  static BOOL Coarse(void* context, const WIN32_FIND_DATAA* record) {
    const Forward& f = *static_cast<Forward*>(context);
    if (!record) return f.entry(f.context, nullptr);
    WIN32_FIND_DATAA copy = *record;
    const std::int64_t seconds = FileTimeToUnix(copy.ftLastWriteTime);
    copy.ftLastWriteTime = FileTimeFromUnix(seconds - seconds % 60);
    copy.dwReserved1 = URL_TIME_COARSE;
    return f.entry(f.context, &copy);
  }
};

// One row into the store, which the row finds held from a row before.
int RunInto(RunRig& rig, MinuteListing* store, const std::string& src) {
  rig.state.Carry().HoldConnection(std::unique_ptr<CUrlConnection>(store));
  const int result = rig.Call(RunKopiwart, src, "ftp://u@mem/t", RUN_CONTINUED | RUN_CONTINUE_NEXT);
  rig.state.Carry().TakeConnection().release();  // the test owns the store
  return result;
}

TEST(KopiwartTimes, AListingOfMinutesIsMadeExactOrDecidedByContent) {
  TempDir dir("kopiwart-minutes");
  const std::string src = dir / "src";
  const std::int64_t minute = kT - kT % 60;
  Put(src + "/big.bin", std::string(40000, 'a'), minute + 20);
  for (const bool exact : {true, false}) {
    SCOPED_TRACE(exact ? "exact times asked" : "no exact times");
    MinuteListing store;
    store.exactTimes = exact;
    RunRig rig;
    ASSERT_EQ(RunInto(rig, &store, src), JOB_DONE) << rig.TakeBoxes();
    ASSERT_EQ(store.uploads, 1);
    // Unchanged: the seconds the listing lacks make no new version, and nothing is written.
    const int timesSet = store.timesSet;
    ASSERT_EQ(RunInto(rig, &store, src), JOB_DONE) << rig.TakeBoxes();
    EXPECT_EQ(store.uploads, 1);
    EXPECT_EQ(store.timesSet, timesSet);
    EXPECT_FALSE(store.nodes.count("/t/big.bin.bak0"));
    const std::string notes = AllNotes(rig.state);
    if (exact)
      EXPECT_EQ(notes, "");
    else
      EXPECT_NE(notes.find("nicht auf die Sekunde genau: Dateien gleicher Größe wurden nach ihrem Inhalt verglichen"),
                std::string::npos)
          << notes;
    // An edit of the same size within the same minute is still an edit.
    Put(src + "/big.bin", std::string(40000, 'b'), minute + 40);
    ASSERT_EQ(RunInto(rig, &store, src), JOB_DONE) << rig.TakeBoxes();
    EXPECT_EQ(store.nodes["/t/big.bin"].data[0], 'b');
    EXPECT_EQ(store.nodes["/t/big.bin.bak0"].data[0], 'a');
    Put(src + "/big.bin", std::string(40000, 'a'), minute + 20);
  }
}

// A local target keeps times before 1970 as they are, and finds them unchanged.
TEST(KopiwartTimes, LocalFilesFromBefore1970AreKeptOnce) {
  TempDir dir("kopiwart-1965");
  const std::string src = dir / "src", dst = dir / "dst";
  const std::int64_t t = Utc(1965, 6, 8) + 11;
  Put(src + "/old.bin", std::string(40000, 'o'), t);
  Put(src + "/small.txt", "o", t);
  RunRig rig;
  ScopedTestEnv env;
  for (int run = 0; run < 3; ++run) ASSERT_EQ(rig.Call(RunKopiwart, src, dst), JOB_DONE) << rig.TakeBoxes();
  rig.state.Carry().Release(false);
  EXPECT_EQ(rig.Copied(), 2u);
  EXPECT_EQ(Listing(dst), "old.bin small.txt");
  EXPECT_EQ(MTime(dst + "/old.bin"), t);
  EXPECT_EQ(AllNotes(rig.state), "");
}

// Times a volume cannot hold are kept as it clamps them: FAT and exFAT from 1980 to 2107, ext4 from
// 1901. A second run finds every file unchanged and says nothing of contents it never compared.
void ClampedOnAVolume(const std::string& image, const std::string& kind) {
  TempDir dir("kopiwart-clamp");
  const std::string src = dir / "src";
  const std::int64_t times[] = {Utc(1965, 6, 8) + 11, Utc(1979, 12, 31) + 3600 * 23, Utc(2110, 3, 1) + 11,
                                Utc(1890, 1, 1), Utc(2500, 1, 1)};
  for (std::size_t i = 0; i < std::size(times); ++i)
    Put(src + "/f" + std::to_string(i) + ".bin", std::string(40000 + i, 'x'), times[i]);
  RunRig rig;
  const std::string url = DiskUrl(image, "kw");
  ASSERT_EQ(rig.Call(RunKopiwart, src, url), JOB_DONE) << rig.TakeBoxes();
  rig.state.Carry().Release(false);
  EXPECT_EQ(rig.Copied(), std::size(times)) << kind;
  ASSERT_EQ(rig.Call(RunKopiwart, src, url), JOB_DONE) << rig.TakeBoxes();
  rig.state.Carry().Release(false);
  EXPECT_EQ(rig.Copied(), std::size(times)) << kind << ": a file was copied again";
  const std::string notes = AllNotes(rig.state);
  EXPECT_EQ(notes.find(kByContent), std::string::npos) << kind << ": " << notes;
  AttachedImage a(image);
  EXPECT_EQ(a.List("/kw").size(), std::size(times)) << kind;
  // Times no calendar holds are clamped alike.
  EXPECT_EQ(DiskStoredTime(a.table(), "/kw/f4.bin", INT64_MAX), DiskStoredTime(a.table(), "/kw/f4.bin", times[4]))
      << kind;
  EXPECT_EQ(DiskStoredTime(a.table(), "/kw/f3.bin", INT64_MIN), DiskStoredTime(a.table(), "/kw/f3.bin", times[3]))
      << kind;
}

TEST(KopiwartTimes, TimesOutsideAFatVolumeAreKeptAsItClampsThem) {
  TempDir dir("kopiwart-fat-clamp", ImageBase());
  const std::string image = MakeFatImage(dir, "fat.img", 12, 8192);
  ClampedOnAVolume(image, "FAT");
  EXPECT_FSCK_CLEAN(image);
  // mtools reads the first and the last moment FAT holds, in the zone the program ran in.
  const std::string listing = MustRun(Mtools("mdir", image, "-a ::/kw"));
  EXPECT_NE(listing.find("1980-01-01   0:00"), std::string::npos) << listing;
  EXPECT_NE(listing.find("2107-12-31  23:59"), std::string::npos) << listing;
}

TEST(KopiwartTimes, TimesOutsideExfatAndExt4VolumesAreKeptAsTheyClampThem) {
  {
    TempDir dir("kopiwart-exfat-clamp", ImageBase());
    if (!HaveTool("mkfs.exfat")) GTEST_SKIP() << "exfatprogs is missing";
    const std::string image = MakeExfatImage(dir, "exfat.img", "4K", 16);
    ClampedOnAVolume(image, "exFAT");
    EXPECT_EXFAT_CLEAN(image);
  }
  if (!HaveTool("mke2fs")) GTEST_SKIP() << "e2fsprogs is missing";
  TempDir dir("kopiwart-ext4-clamp", ImageBase());
  const std::string image = dir / "ext4.img";
  MustRun("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 8M");
  ClampedOnAVolume(image, "ext4");
  // 1965 stays 1965; 1890 becomes the first second ext4 holds, 2500 its last.
  const std::string old = MustRun("debugfs -R " + Quote("stat /kw/f0.bin") + " " + Quote(image));
  EXPECT_NE(old.find("1965"), std::string::npos) << old;
  const std::string first = MustRun("debugfs -R " + Quote("stat /kw/f3.bin") + " " + Quote(image));
  EXPECT_NE(first.find("mtime: 0x80000000:00000000"), std::string::npos) << first;
  const std::string last = MustRun("debugfs -R " + Quote("stat /kw/f4.bin") + " " + Quote(image));
  EXPECT_NE(last.find("mtime: 0x7fffffff:00000003"), std::string::npos) << last;
}

}  // namespace
