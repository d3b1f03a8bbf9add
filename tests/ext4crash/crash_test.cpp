// Crash safety of ext4 writing: workloads cut at their commits and at random writes, recovered by e2fsck and by the engine.
#include "tests/ext4crash/crash_runner.h"

#include "FileSystem/Ext4/ext4.h"
#include "FileSystem/Volume/volume_api.h"
#include "tests/support/fat_images.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

namespace {

using namespace kpwtest;

class Ext4Crash : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
    m_dir = std::make_unique<TempDir>("ext4crash", ImageBase());
    if (std::string missing = CrashEngineMissing(m_dir->path()); !missing.empty())
      GTEST_SKIP() << "the ext4 engine does not write yet: " << missing;
  }

  std::string Path(const std::string& name) const { return *m_dir / name; }

  // A fresh image made by mke2fs with the arguments (and a debugfs script run on it), recorded
  // from its content on.
  std::shared_ptr<CutRecorder> Image(const std::string& args, const std::string& debugfsScript = {}) {
    const std::string image = Path("vol.img");
    // A fixed identity and hash seed: the same writes, and so the same cuts, in every run.
    Ext4Tool("mke2fs -q -F -t ext4 -U 6b1f3c2e-8d4a-4e5b-9c7d-2a1b0c9d8e7f -E hash_seed=3c9e7a51-0b2d-4f6e-8a1c-5d7b9e0f2a4c " +
             args + " " + Quote(image) + " 16M");
    if (!debugfsScript.empty()) {
      WriteFile(Path("script"), debugfsScript);
      Ext4Tool("debugfs -w -f " + Quote(Path("script")) + " " + Quote(image));
    }
    return CutRecorder::FromFile(image);
  }

  // The names and contents of the recorder's image now.
  CrashTree TreeNow(const CutRecorder& rec) {
    const std::string image = Path("now.img");
    rec.SaveCurrent(image);
    std::string errors;
    CrashTree t = CrashReadTree(image, &errors);
    EXPECT_EQ(errors, "");
    return t;
  }

  void Check(const std::string& name, const CrashWorkload& w, const CrashTree& initial,
             const std::set<CrashCut>& cuts) {
    CrashCheckCuts(name, *w.rec, w.steps, initial, cuts, m_dir->path());
  }

  std::unique_ptr<TempDir> m_dir;
};

std::string Name(int i) {
  std::ostringstream s;
  s << "entry-" << i << "-with-a-longer-name-to-fill-blocks";
  return s.str();
}

// Creates, writes, folders, renames (a folder between parents too), removals and truncation in a
// hashed folder at 1 KiB blocks.
TEST_F(Ext4Crash, MixedOperationsInAHashedFolder) {
  auto rec = Image("-b 1024");
  const CrashTree initial = TreeNow(*rec);
  CrashWorkload w(rec, initial);
  w.Attach();
  w.Mkdir("/d");
  const std::size_t sizes[] = {0, 37, 1000, 5000, 70000};
  for (int i = 0; i < 30; ++i) w.Create("/d/" + Name(i), CrashBytes(sizes[i % 5], i));
  w.Mkdir("/d/sub");
  w.Create("/d/sub/inner", "inner file");
  w.Rename("/d/" + Name(3), "/d/sub/moved");
  w.Rename("/d/sub", "/e");
  for (int i = 5; i < 30; i += 4) w.Remove("/d/" + Name(i));
  w.Truncate("/d/" + Name(4), 1500);
  w.Append("/d/" + Name(2), CrashBytes(3000, 99));
  w.Mkdir("/d/empty");
  w.Rmdir("/d/empty");
  w.Create("/d/" + Name(100), CrashBytes(20000, 100));
  w.Detach();
  ASSERT_FALSE(w.failed);
  Check("mixed", w, initial, CrashSample(*rec, "mixed"));
}

// A long clean session, then a short one that is cut anywhere: nothing of the first session's log
// may be replayed over the second's.
TEST_F(Ext4Crash, SecondSessionCutAfterItsFirstCommit) {
  auto rec = Image("-b 1024");
  CrashWorkload a(rec, TreeNow(*rec));
  a.Attach();
  a.Mkdir("/a");
  for (int i = 0; i < 40; ++i) a.Create("/a/" + Name(i), CrashBytes(100 + i, i));
  a.Detach();
  ASSERT_FALSE(a.failed);
  ASSERT_FALSE(rec->CommitWrites().empty());
  const u32 lastOfA = rec->CommitId(rec->CommitWrites().back());
  rec->Rebase();
  CrashWorkload b(rec, a.model());
  b.Attach();
  b.Mkdir("/b");
  b.Create("/b/one", "second session");
  b.Remove("/a/" + Name(7));
  b.Detach();
  ASSERT_FALSE(b.failed);
  // Ids go on from the first session's: its transactions left in the log never pass for the second's.
  ASSERT_FALSE(rec->CommitWrites().empty());
  EXPECT_GT(rec->CommitId(rec->CommitWrites().front()), lastOfA);
  std::set<CrashCut> all;
  for (std::size_t n = 0; n <= rec->writes.size(); ++n) all.insert({n, 0});
  Check("double-session", b, a.model(), all);
}

// A crash, our recovery in the next session, and that session cut again.
TEST_F(Ext4Crash, CrashRecoverAndCrashAgain) {
  auto rec = Image("-b 4096");
  CrashWorkload first(rec, TreeNow(*rec));
  first.Attach();
  first.Mkdir("/x");
  for (int i = 0; i < 8; ++i) first.Create("/x/" + Name(i), CrashBytes(3000 * i, i));
  first.Rename("/x/" + Name(1), "/moved");
  first.Remove("/x/" + Name(2));
  ASSERT_FALSE(first.failed);
  // The cut: just after the commit of the rename, the journal still live.
  const auto commits = rec->CommitWrites();
  ASSERT_GE(commits.size(), 3u);
  const std::size_t cut = commits[commits.size() - 2] + 1;
  first.Detach();
  const CrashTree start = first.steps.front().state;  // the attach changes no name
  auto second = std::make_shared<CutRecorder>();
  second->image = second->baseline = rec->Prefix(cut);
  // What the recovery must find: checked as a cut of the first session, then taken as the start.
  Check("crash-once", first, start, {{cut, 0}});
  CrashTree recovered;
  {
    auto copy = std::make_shared<CutRecorder>(*second);
    CrashDrive drive(copy);
    ASSERT_EQ(drive.Attach(), 0);
    std::string errors;
    recovered = CrashReadTree(drive.vol(), &errors);
    EXPECT_EQ(errors, "");
  }
  CrashWorkload w(second, recovered);
  w.Attach();
  w.Create("/x/" + Name(50), CrashBytes(9000, 50));
  w.Remove("/x/" + Name(3));
  w.Mkdir("/y");
  w.Rename("/moved", "/y/moved");
  w.Detach();
  ASSERT_FALSE(w.failed);
  Check("crash-again", w, recovered, CrashSample(*second, "crash-again"));
}

// A folder's block freed by rmdir and reused for a file's data while the transaction that logged
// it is not yet retired: replay must not write the old folder block over the data.
TEST_F(Ext4Crash, FreedFolderBlockReusedForData) {
  auto rec = Image("-b 1024");
  const CrashTree initial = TreeNow(*rec);
  CrashWorkload w(rec, initial);
  w.Attach();
  for (int round = 0; round < 3; ++round) {
    const std::string r = "/r" + std::to_string(round);
    w.Mkdir(r);
    w.Create(r + "/f", CrashBytes(200, round));
    w.Remove(r + "/f");
    w.Rmdir(r);
    w.Create("/big" + std::to_string(round), CrashBytes(300 * 1024, 10 + round), 64 * 1024);
  }
  w.Detach();
  ASSERT_FALSE(w.failed);
  Check("block-reuse", w, initial, CrashSample(*rec, "block-reuse"));
}

// Extent index blocks freed by a removal and taken again by the next fragmented file in the same
// hashed folder: the newest copy of each block is what replay leaves.
TEST_F(Ext4Crash, FreedMetadataBlocksJournalledAgain) {
  auto rec = Image("-b 1024");
  const CrashTree initial = TreeNow(*rec);
  CrashWorkload w(rec, initial);
  w.Attach();
  w.Mkdir("/h");
  for (int i = 0; i < 12; ++i) w.Create("/h/" + Name(i), CrashBytes(50, i));
  // Two files appended in turn get interleaved extents: more than fit the inode.
  for (int pass = 0; pass < 2; ++pass) {
    const std::string x = "/h/frag-x" + std::to_string(pass), y = "/h/frag-y" + std::to_string(pass);
    for (int i = 0; i < 7; ++i) {
      w.Append(x, CrashBytes(1024, 1000 + i));
      w.Append(y, CrashBytes(1024, 2000 + i));
    }
    w.Remove(x);
    w.Remove("/h/" + Name(pass));
  }
  w.Detach();
  ASSERT_FALSE(w.failed);
  Check("revoke-rejournal", w, initial, CrashSample(*rec, "revoke-rejournal"));
}

// Uploads as the disk adapter makes them, through the volume file API: a temporary name written
// and renamed, a replaced file removed first, a file grown by setting its size, attributes.
TEST_F(Ext4Crash, UploadsThroughTheVolumeFileApi) {
  auto rec = Image("-b 4096");
  const CrashTree initial = TreeNow(*rec);
  CrashWorkload w(rec, initial);
  w.Attach();
  w.Custom("mkdir /up", [&](Ext4Volume*) { return DiskMkdir(w.table(), "/up"); },
           [&] { CrashTree t = w.model(); t["up"] = TreeEntry{'d', {}, 0}; return t; }());
  const auto upload = [&](const std::string& name, const std::string& data) {
    const std::string tmp = "/up/" + name + ".tmp", key = "up/" + name + ".tmp";
    auto h = std::make_shared<DiskHandle>(0);
    CrashTree t = w.model();
    t[key] = TreeEntry{'f', {}, 0};
    w.Custom("create " + tmp, [&](Ext4Volume*) {
      int err = 0;
      *h = DiskFileOpen(w.table(), tmp.c_str(), DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
      return *h ? 0 : err ? err : -1;
    }, t);
    t[key] = TreeEntry{'f', data, data.size()};
    w.Custom("write " + tmp, [&](Ext4Volume*) {
      for (std::size_t at = 0; at < data.size(); at += 32768) {
        const int n = static_cast<int>(std::min<std::size_t>(32768, data.size() - at));
        if (DiskFileWrite(w.table(), *h, data.data() + at, n) != n) return -1;
      }
      return 0;
    }, t, CrashPartial::Grow, key);
    w.Custom("close " + tmp, [&](Ext4Volume*) { return DiskFileClose(w.table(), *h); }, t);
    if (t.count("up/" + name)) {
      t.erase("up/" + name);
      w.Custom("delete /up/" + name, [&](Ext4Volume*) { return DiskDelete(w.table(), ("/up/" + name).c_str()); }, t,
               CrashPartial::Remove, "up/" + name);
    }
    t["up/" + name] = t[key];
    t.erase(key);
    w.Custom("rename " + tmp, [&](Ext4Volume*) { return DiskRename(w.table(), tmp.c_str(), ("/up/" + name).c_str()); },
             t);
  };
  for (int i = 0; i < 6; ++i) upload(Name(i), CrashBytes(5000 * i + 17, i));
  upload(Name(2), CrashBytes(40000, 200));
  CrashTree t = w.model();
  TreeEntry& grown = t["up/" + Name(3)];
  grown.data.resize(grown.size + 10000, '\0');
  grown.size = grown.data.size();
  w.Custom("grow /up/" + Name(3), [&](Ext4Volume*) {
    int err = 0;
    const DiskHandle h = DiskFileOpen(w.table(), ("/up/" + Name(3)).c_str(), DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
    if (!h) return err ? err : -1;
    const int r = DiskSetFileSize(w.table(), h, grown.size);
    const int c = DiskFileClose(w.table(), h);
    return r ? r : c;
  }, t);
  w.Custom("read-only /up/" + Name(4), [&](Ext4Volume*) {
    return DiskSetAttributes(w.table(), ("/up/" + Name(4)).c_str(), DISK_ATTR_READABLE);
  }, w.model());
  w.Detach();
  ASSERT_FALSE(w.failed);
  Check("volume-api", w, initial, CrashSample(*rec, "volume-api"));
}

// More transactions than the smallest log holds: checkpoints and wraps, cut around the first wrap.
TEST_F(Ext4Crash, LogWrapsAndCheckpoints) {
  auto rec = Image("-b 1024 -J size=1");
  const CrashTree initial = TreeNow(*rec);
  CrashWorkload w(rec, initial);
  w.Attach();
  w.Mkdir("/w");
  for (int i = 0; i < 120; ++i) w.Create("/w/" + Name(i), CrashBytes(10 + i, i));
  w.Detach();
  ASSERT_FALSE(w.failed);
  // The wrap: the first commit written below the one before it.
  const auto commits = rec->CommitWrites();
  std::size_t wrap = 0;
  for (std::size_t i = 1; i < commits.size() && !wrap; ++i)
    if (rec->writes[commits[i]].offset < rec->writes[commits[i - 1]].offset) wrap = i;
  ASSERT_NE(wrap, 0u) << "the log never wrapped in " << commits.size() << " commits";
  const std::size_t from = commits[wrap < 8 ? 0 : wrap - 8], to = commits[std::min(commits.size() - 1, wrap + 8)] + 1;
  Check("log-wrap", w, initial, CrashSample(*rec, "log-wrap", from, to));
}

// The journal with checksums (v3): a logged block torn inside the write that carried it, its
// commit whole. Replay must skip the block as e2fsck does, not write the torn copy home.
TEST_F(Ext4Crash, TornLogBlockIsNotWrittenHome) {
  auto rec = Image("-b 1024", "jo -c\njc\n");
  ASSERT_NE(Ext4Tool("dumpe2fs -h " + Quote(Path("vol.img"))).find("journal_checksum_v3"), std::string::npos);
  std::set<u64> journal;
  std::istringstream blocks(Shell("debugfs -R 'blocks <8>' " + Quote(Path("vol.img")) + " 2>/dev/null"));
  for (u64 b; blocks >> b;) journal.insert(b);
  CrashWorkload w(rec, TreeNow(*rec));
  w.Attach();
  w.Mkdir("/t");
  for (int i = 0; i < 6; ++i) w.Create("/t/" + Name(i), CrashBytes(700 * i, i));
  w.Rename("/t/" + Name(1), "/t/renamed");
  w.Detach();
  ASSERT_FALSE(w.failed);

  const u32 bs = rec->BlockSize();
  const std::size_t spb = bs / rec->sectorSize;
  const auto inJournal = [&](const CutWrite& x) { return journal.count(x.offset / bs) != 0; };
  const auto commits = rec->CommitWrites();
  int torn = 0, skipped = 0, failures = 0;
  std::string firstFailures;
  for (std::size_t ci = 0; ci < commits.size(); ++ci) {
    // The last logged block of the transaction: a journal block that does not begin with the magic.
    const std::size_t c = commits[ci], from = ci ? commits[ci - 1] + 1 : 0;
    std::size_t write = ~std::size_t{0}, block = 0;
    for (std::size_t i = from; i <= c; ++i) {
      const CutWrite& x = rec->writes[i];
      if (!inJournal(x) || x.offset % bs) continue;
      for (std::size_t k = 0; k < x.bytes.size() / bs; ++k) {
        // Only a block whose lost sectors would read otherwise is torn at all.
        const u8* mine = x.bytes.data() + k * bs + rec->sectorSize;
        const u8* old = rec->baseline.data() + x.offset + k * bs + rec->sectorSize;
        if (Ext4Be32(x.bytes.data() + k * bs) != 0xC03B3998u && std::memcmp(mine, old, bs - rec->sectorSize) != 0)
          write = i, block = k;
      }
    }
    if (write == ~std::size_t{0}) continue;
    ++torn;
    // Its first sector arrived, the rest did not.
    const std::vector<u8> image = rec->PrefixLosing(c + 1, write, block * spb + 1, (block + 1) * spb);
    const std::string a = Path("torn-e2fsck.img"), b = Path("torn-ours.img");
    CutRecorder::SaveImage(a, image);
    const std::string replay = Shell("e2fsck -E journal_only -y " + Quote(a) + " 2>&1");
    if (replay.find("Invalid checksum recovering") != std::string::npos) ++skipped;
    auto mine = std::make_shared<CutRecorder>();
    mine->image = image;
    std::string problems;
    {
      CrashDrive drive(mine);
      std::string why;
      if (drive.Attach(&why) != 0) problems += "  our attach: " + why + "\n";
    }
    CutRecorder::SaveImage(b, mine->image);
    // Block by block as e2fsck left it, outside the journal and the superblock's bytes.
    const std::string x = ReadFile(a), y = ReadFile(b);
    std::vector<u64> differ;
    for (u64 blk = 0; blk * bs < x.size(); ++blk) {
      if (journal.count(blk)) continue;
      const u64 at = blk * bs;
      for (u64 i = at; i < at + bs; ++i)
        if (x[i] != y[i] && (i < 1024 || i >= 2048)) {
          differ.push_back(blk);
          break;
        }
    }
    if (!differ.empty()) {
      problems += "  blocks that differ from e2fsck's replay:";
      for (u64 d : differ) problems += " " + std::to_string(d);
      problems += "\n";
    }
    if (!problems.empty() && ++failures <= 3)
      firstFailures += "commit write " + std::to_string(c) + ", torn block " + std::to_string(block) + " of write " +
                       std::to_string(write) + ":\n" + problems;
  }
  std::printf("[crash] torn-v3: %zu writes, %zu commits, %d torn blocks checked (e2fsck skipped %d), %d failed\n",
              rec->writes.size(), commits.size(), torn, skipped, failures);
  EXPECT_GT(skipped, 0);
  EXPECT_EQ(failures, 0) << firstFailures;
}

// A write that fails: the operation gives 5, and after a detach the next attach finds a volume
// that is consistent and holds the state before or after that operation.
TEST_F(Ext4Crash, FailedWritesAbortAndTheNextAttachIsConsistent) {
  auto base = Image("-b 1024");
  const std::vector<u8> pristine = base->image;
  const CrashTree initial = TreeNow(*base);
  const auto workload = [&](CrashWorkload& w) {
    w.Attach();
    w.Mkdir("/e");
    for (int i = 0; i < 5; ++i) w.Create("/e/" + Name(i), CrashBytes(900 * i, i));
    w.Rename("/e/" + Name(1), "/renamed");
    w.Remove("/e/" + Name(2));
    w.Create("/e/large", CrashBytes(200 * 1024, 77), 64 * 1024);
    w.Detach();
  };
  CrashWorkload dry(base, initial);
  workload(dry);
  ASSERT_FALSE(dry.failed);
  std::set<std::size_t> picks;
  for (const auto& list : {base->CommitWrites(), base->JournalSuperWrites()}) picks.insert(list.begin(), list.end());
  for (std::size_t n = 0; CrashSweep() && n < base->writes.size(); ++n) picks.insert(n);
  // Every write of the file writes (data and commits).
  for (const CrashStep& s : dry.steps)
    for (std::size_t n = s.firstWrite; s.partial == CrashPartial::Grow && n < s.endWrite; ++n) picks.insert(n);
  std::mt19937 rng(28);
  for (int i = 0; i < std::max(1, CrashRandomCuts() / 5); ++i) picks.insert(rng() % base->writes.size());

  int failures = 0;
  std::string firstFailures;
  for (const std::size_t n : picks) {
    auto rec = std::make_shared<CutRecorder>();
    rec->image = rec->baseline = pristine;
    rec->failAt = static_cast<long long>(n);
    CrashWorkload w(rec, initial);
    w.expectFailures = true;
    workload(w);
    std::string problems;
    if (!w.failed) problems += "  no operation reported the failed write\n";
    else if (w.failedResult != EXT4_EIO)
      problems += "  '" + w.steps[w.failedStep].label + "' gave " + std::to_string(w.failedResult) + ", not 5\n";
    rec->failAt = -1;
    {
      CrashDrive drive(rec);
      std::string why;
      if (drive.Attach(&why) != 0) problems += "  the next attach: " + why + "\n";
    }
    const std::string image = Path("failed.img");
    rec->SaveCurrent(image);
    if (std::string p = CrashFsckProblems(image, false); !p.empty()) problems += "  e2fsck:\n" + p;
    std::string errors;
    const CrashTree got = CrashReadTree(image, &errors);
    if (w.failed) {
      const std::size_t f = w.failedStep;
      const CrashTree& before = f ? w.steps[f - 1].state : initial;
      if (got != before && got != w.steps[f].state && !CrashIntermediate(got, before, w.steps[f]))
        problems += "  names and contents are neither before nor after '" + w.steps[f].label + "'\n";
    }
    if (!errors.empty()) problems += "  reading: " + errors + "\n";
    if (!problems.empty() && ++failures <= 5)
      firstFailures += "write " + std::to_string(n) + " failing" +
                       (w.failed ? " ('" + w.steps[w.failedStep].label + "' gave " + std::to_string(w.failedResult) + ")"
                                 : std::string()) +
                       ":\n" + problems;
  }
  std::printf("[crash] failed-writes: %zu writes, %zu failing writes tried, %d failed\n", base->writes.size(),
              picks.size(), failures);
  EXPECT_EQ(failures, 0) << firstFailures;
}

}  // namespace
