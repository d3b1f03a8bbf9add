// The crash scenario runner: recorded workloads, the sample of cuts, and the three checks of each cut.
#include "tests/ext4crash/crash_runner.h"

#include "FileSystem/Ext4/ext4.h"
#include "tests/support/files.h"
#include "tests/support/run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <sstream>

#ifndef KPW_CRASH_RANDOM_CUTS
#define KPW_CRASH_RANDOM_CUTS 50
#endif

namespace kpwtest {

namespace {

std::string Key(const std::string& path) { return path.empty() || path[0] != '/' ? path : path.substr(1); }

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool IsPrefixOf(const std::string& part, const std::string& whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

u64 Fnv(const std::string& s) {
  u64 h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace

int CrashDrive::Attach(std::string* why) {
  Detach();
  m_table = std::make_unique<DiskDriveTable>();
  const int drives = DiskAttachMedium(*m_table, std::make_unique<CutMedium>(m_rec), "crash", DISK_ATTACH_FIXED_DRIVE,
                                      nullptr, DISK_ALL_PARTITIONS);
  auto* dv = drives == 2 ? dynamic_cast<Ext4DriveVolume*>(m_table->fileSystem[1].get()) : nullptr;
  m_vol = dv ? dv->volume() : nullptr;
  if (!m_vol || m_vol->fs.readOnly) {
    if (why) *why = drives != 2 ? "attach: " + m_table->message : "mounted read-only or not at all: " + m_table->note[1];
    Detach();
    return -1;
  }
  return 0;
}

int CrashDrive::Detach() {
  if (!m_table) return 0;
  int result = 0;
  if (auto* dv = dynamic_cast<Ext4DriveVolume*>(m_table->fileSystem[1].get())) {
    dv->Unmount();
    result = dv->unmountResult();
  }
  DiskDetach(*m_table, 0);
  m_table.reset();
  m_vol = nullptr;
  return result;
}

CrashWorkload::CrashWorkload(std::shared_ptr<CutRecorder> r, CrashTree initial)
    : rec(std::move(r)), m_drive(rec), m_model(std::move(initial)) {}

void CrashWorkload::Step(const std::string& label, const std::function<int()>& op, CrashPartial partial,
                         const std::string& target) {
  if (failed) return;
  CrashStep s;
  s.label = label;
  s.partial = partial;
  s.target = target;
  s.firstWrite = rec->writes.size();
  s.result = op();
  s.endWrite = rec->writes.size();
  s.state = m_model;
  if (s.result != 0) {
    failed = true;
    failedStep = steps.size();
    failedResult = s.result;
    if (!expectFailures) ADD_FAILURE() << label << " gave " << s.result;
  }
  steps.push_back(std::move(s));
}

void CrashWorkload::Attach() {
  Step("attach", [&] {
    std::string why;
    if (m_drive.Attach(&why) == 0) return 0;
    if (!expectFailures) ADD_FAILURE() << why;
    return EXT4_EIO;
  });
}

void CrashWorkload::Detach() {
  if (failed) {  // what is still open goes without being a step
    m_drive.Detach();
    return;
  }
  Step("detach", [&] { return m_drive.Detach(); });
}

void CrashWorkload::Create(const std::string& path, const std::string& data, std::size_t chunk) {
  auto f = std::make_shared<Ext4File>();
  const std::string key = Key(path);
  const bool existed = m_model.count(key) != 0;
  Step("open w " + path, [&] {
    m_model[key] = TreeEntry{'f', {}, 0};
    return Ext4FileOpenMode(vol(), f.get(), path.c_str(), "w", true);
  }, existed ? CrashPartial::Shrink : CrashPartial::None, key);
  Step("write " + path, [&] {
    m_model[key] = TreeEntry{'f', data, data.size()};
    for (std::size_t at = 0; at < data.size(); at += chunk) {
      const u32 n = static_cast<u32>(std::min(chunk, data.size() - at));
      u32 done = 0;
      const int r = Ext4FileWrite(f.get(), data.data() + at, n, &done);
      if (r) return r;
      if (done != n) return EXT4_EIO;
    }
    return EXT4_OK;
  }, CrashPartial::Grow, key);
  Step("close " + path, [&] { return Ext4FileClose(f.get()); });
  if (f->volume) Ext4FileClose(f.get());
}

void CrashWorkload::Append(const std::string& path, const std::string& data) {
  auto f = std::make_shared<Ext4File>();
  const std::string key = Key(path);
  Step("open a " + path, [&] {
    if (!m_model.count(key)) m_model[key] = TreeEntry{'f', {}, 0};
    return Ext4FileOpenMode(vol(), f.get(), path.c_str(), "a", true);
  });
  Step("append " + path, [&] {
    TreeEntry& e = m_model[key];
    e.data += data;
    e.size = e.data.size();
    u32 done = 0;
    const int r = Ext4FileWrite(f.get(), data.data(), static_cast<u32>(data.size()), &done);
    return r ? r : done == data.size() ? EXT4_OK : EXT4_EIO;
  }, CrashPartial::Grow, key);
  Step("close " + path, [&] { return Ext4FileClose(f.get()); });
  if (f->volume) Ext4FileClose(f.get());
}

void CrashWorkload::Truncate(const std::string& path, u64 size) {
  auto f = std::make_shared<Ext4File>();
  const std::string key = Key(path);
  Step("open r+ " + path, [&] { return Ext4FileOpenMode(vol(), f.get(), path.c_str(), "r+", true); });
  Step("truncate " + path, [&] {
    TreeEntry& e = m_model[key];
    e.data.resize(size);
    e.size = size;
    return Ext4FileTruncate(f.get(), size);
  }, CrashPartial::Shrink, key);
  Step("close " + path, [&] { return Ext4FileClose(f.get()); });
  if (f->volume) Ext4FileClose(f.get());
}

void CrashWorkload::Mkdir(const std::string& path) {
  Step("mkdir " + path, [&] {
    m_model[Key(path)] = TreeEntry{'d', {}, 0};
    return Ext4Mkdir(vol(), path.c_str());
  });
}

void CrashWorkload::Rmdir(const std::string& path) {
  Step("rmdir " + path, [&] {
    m_model.erase(Key(path));
    return Ext4DirRemove(vol(), path.c_str(), false);
  });
}

void CrashWorkload::Remove(const std::string& path) {
  Step("remove " + path, [&] {
    m_model.erase(Key(path));
    return Ext4FileRemove(vol(), path.c_str());
  }, CrashPartial::Remove, Key(path));
}

void CrashWorkload::Rename(const std::string& from, const std::string& to) {
  Step("rename " + from + " " + to, [&] {
    const std::string a = Key(from), b = Key(to);
    CrashTree moved;
    for (auto it = m_model.begin(); it != m_model.end();) {
      if (it->first == a || StartsWith(it->first, a + "/")) {
        moved[b + it->first.substr(a.size())] = it->second;
        it = m_model.erase(it);
      } else {
        ++it;
      }
    }
    m_model.insert(moved.begin(), moved.end());
    return Ext4Rename(vol(), from.c_str(), to.c_str());
  });
}

void CrashWorkload::Custom(const std::string& label, const std::function<int(Ext4Volume*)>& op, CrashTree after,
                           CrashPartial partial, const std::string& target) {
  Step(label, [&] {
    m_model = after;
    return op(vol());
  }, partial, target);
}

CrashTree CrashReadTree(Ext4Volume* vol, std::string* errors) {
  std::map<std::string, int> errs;
  CrashTree tree = Ext4ReadTree(vol, &errs);
  for (auto it = tree.begin(); it != tree.end();) {
    if (it->first == "lost+found" || StartsWith(it->first, "lost+found/")) it = tree.erase(it);
    else ++it;
  }
  if (errors)
    for (const auto& [what, code] : errs) *errors += what + "=" + std::to_string(code) + " ";
  return tree;
}

CrashTree CrashReadTree(const std::string& image, std::string* errors) {
  Ext4Mounted m(image);
  if (m.result != EXT4_OK) {
    if (errors) *errors += "read-only mount gave " + std::to_string(m.result) + ": " + m.device.dev()->mountNote + " ";
    return {};
  }
  return CrashReadTree(m.vol, errors);
}

std::string CrashFsckProblems(const std::string& image, bool tolerateCounts) {
  int status = 0;
  const std::string out = Shell("e2fsck -fn " + Quote(image) + " 2>&1", &status);
  static const std::regex summary(R"(^.*: \d+/\d+ files \(.*\), \d+/\d+ blocks$)");
  std::istringstream in(out);
  std::string problems;
  bool tolerated = false;
  for (std::string line; std::getline(in, line);) {
    const bool wasTolerated = tolerated;
    tolerated = false;
    if (line.empty() || StartsWith(line, "e2fsck 1.") || StartsWith(line, "Pass ") || std::regex_match(line, summary))
      continue;
    if (tolerateCounts && (StartsWith(line, "Free blocks count wrong (") || StartsWith(line, "Free inodes count wrong ("))) {
      tolerated = true;
      continue;
    }
    if (wasTolerated && line == "Fix? no") continue;
    problems += line + "\n";
  }
  if (status < 0 || status >= 8) problems += "e2fsck did not run (status " + std::to_string(status) + ")\n";
  return problems;
}

bool CrashSweep() {
  const char* v = std::getenv("KPW_CRASH_SWEEP");
  return v && *v && std::string(v) != "0";
}

int CrashRandomCuts() { return KPW_CRASH_RANDOM_CUTS; }

std::set<CrashCut> CrashSample(const CutRecorder& rec, const std::string& name, std::size_t from, std::size_t to) {
  std::set<CrashCut> cuts;
  const std::size_t m = rec.writes.size();
  // Write n cut after its first sector. Not the superblock's own writes: it is not journalled and
  // carries its checksum in its second sector, so that no writer can make tearing it harmless.
  const auto torn = [&](std::size_t n) {
    if (n >= m || rec.writes[n].bytes.size() <= rec.sectorSize) return;
    const CutWrite& w = rec.writes[n];
    if (w.offset < 2048 && w.offset + w.bytes.size() > 1024) return;
    cuts.insert({n, 1});
  };
  if (CrashSweep()) {
    for (std::size_t n = 0; n <= m; ++n) {
      cuts.insert({n, 0});
      torn(n);
      cuts.insert({n, 0, Fnv(name) + n});
    }
    return cuts;
  }
  cuts.insert({0, 0});
  cuts.insert({m, 0});
  for (const auto& list : {rec.CommitWrites(), rec.JournalSuperWrites()})
    for (std::size_t w : list)
      if (w >= from && w < to) {
        cuts.insert({w, 0});
        cuts.insert({w + 1, 0});
        torn(w);
        cuts.insert({w + 1, 0, Fnv(name) ^ (w * 0x9E3779B97F4A7C15ull)});  // its epoch in part
      }
  std::mt19937_64 rng(Fnv(name));
  for (int i = 0; i < CrashRandomCuts(); ++i) cuts.insert({static_cast<std::size_t>(rng() % (m + 1)), 0});
  for (int i = 0; i < std::max(1, CrashRandomCuts() / 2); ++i)
    cuts.insert({static_cast<std::size_t>(rng() % (m + 1)), 0, rng() | 1});
  return cuts;
}

namespace {

// The write number of a step's final commit: its last commit write, or without one its last write
// (or, writing nothing, the write before it); -1 when that lies before the log.
long long FinalCommit(const CrashStep& s, const std::vector<std::size_t>& commits) {
  for (auto it = commits.rbegin(); it != commits.rend(); ++it)
    if (*it >= s.firstWrite && *it < s.endWrite) return static_cast<long long>(*it);
  if (s.endWrite > s.firstWrite) return static_cast<long long>(s.endWrite) - 1;
  return static_cast<long long>(s.firstWrite) - 1;
}

}  // namespace

bool CrashIntermediate(const CrashTree& got, const CrashTree& before, const CrashStep& step) {
  const CrashTree& after = step.state;
  if (step.partial == CrashPartial::None) return false;
  CrashTree g = got, b = before;
  g.erase(step.target);
  b.erase(step.target);
  if (g != b) return false;
  auto gt = got.find(step.target);
  auto bt = before.find(step.target), at = after.find(step.target);
  if (gt == got.end()) return step.partial == CrashPartial::Remove;
  const TreeEntry& e = gt->second;
  if (e.kind != 'f' || e.data.size() != e.size) return false;
  switch (step.partial) {
    case CrashPartial::Grow:
      return at != after.end() && IsPrefixOf(e.data, at->second.data) &&
             (bt == before.end() || e.size >= bt->second.size);
    case CrashPartial::Shrink:
      return bt != before.end() && IsPrefixOf(e.data, bt->second.data) &&
             (at == after.end() || e.size >= at->second.size);
    case CrashPartial::Remove:
      return bt != before.end() && IsPrefixOf(e.data, bt->second.data);
    case CrashPartial::None:
      break;
  }
  return false;
}

namespace {

std::string TreeDiff(const CrashTree& got, const CrashTree& want) {
  std::ostringstream out;
  int shown = 0;
  std::set<std::string> names;
  for (const auto& [k, v] : got) names.insert(k);
  for (const auto& [k, v] : want) names.insert(k);
  for (const std::string& k : names) {
    auto g = got.find(k), w = want.find(k);
    if (g != got.end() && w != want.end() && g->second == w->second) continue;
    if (++shown > 8) {
      out << "    ...\n";
      break;
    }
    out << "    " << k << ": got ";
    if (g == got.end()) out << "nothing";
    else out << g->second;
    out << ", expected ";
    if (w == want.end()) out << "nothing";
    else out << w->second;
    if (g != got.end() && w != want.end() && g->second.kind == w->second.kind) {
      const std::string& x = g->second.data;
      const std::string& y = w->second.data;
      std::size_t at = 0;
      while (at < x.size() && at < y.size() && x[at] == y[at]) ++at;
      std::size_t end = at;
      while (end < x.size() && end < y.size() && x[end] != y[end]) ++end;
      if (at < x.size() || at < y.size()) out << "; bytes differ from " << at << " (first run to " << end << ")";
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace

void CrashCheckCuts(const std::string& name, const CutRecorder& rec, const std::vector<CrashStep>& steps,
                    const CrashTree& initial, const std::set<CrashCut>& cuts, const std::string& workDir) {
  const auto started = std::chrono::steady_clock::now();
  const std::vector<std::size_t> commits = rec.CommitWrites();
  std::vector<long long> finals;
  for (const CrashStep& s : steps) finals.push_back(FinalCommit(s, commits));
  const std::string a = workDir + "/cut-e2fsck.img", b = workDir + "/cut-ours.img";
  // The journal's blocks: where the two replays may differ (as in the superblock's bytes).
  std::set<u64> journal;
  CutRecorder::SaveImage(a, rec.baseline);
  std::istringstream blocks(Shell("debugfs -c -R 'blocks <8>' " + Quote(a) + " 2>/dev/null"));
  for (u64 x; blocks >> x;) journal.insert(x);
  const u32 bs = rec.BlockSize();
  int failures = 0;
  std::string firstFailures;
  for (const CrashCut& cut : cuts) {
    std::string problems;
    std::size_t from = cut.n;  // with a shuffled epoch: the cuts it lies between
    std::vector<u8> prefix = cut.shuffle ? rec.PrefixShuffled(cut.n, cut.shuffle, &from) : rec.Prefix(cut.n, cut.torn);
    // (a) e2fsck replays; only the superblock's free counts may be wrong then.
    CutRecorder::SaveImage(a, prefix);
    int status = 0;
    const std::string replay = Shell("e2fsck -E journal_only -y " + Quote(a) + " 2>&1", &status);
    if (status < 0 || status >= 4) problems += "  e2fsck -E journal_only (status " + std::to_string(status) + "):\n" + replay;
    if (std::string p = CrashFsckProblems(a, true); !p.empty()) problems += "  after e2fsck's replay:\n" + p;
    // (b) our recovery: a writable attach and a detach; then clean.
    auto mine = std::make_shared<CutRecorder>();
    mine->image = std::move(prefix);
    {
      CrashDrive drive(mine);
      std::string why;
      if (drive.Attach(&why) != 0) problems += "  our attach: " + why + "\n";
      else if (int r = drive.Detach(); r != 0) problems += "  our detach gave " + std::to_string(r) + "\n";
    }
    CutRecorder::SaveImage(b, mine->image);
    // Block by block as e2fsck's replay left it, outside the journal and the superblock's bytes.
    {
      const std::string x = ReadFile(a);
      const std::vector<u8>& y = mine->image;
      std::string differ;
      int shown = 0;
      for (u64 blk = 0; bs && x.size() == y.size() && blk * bs < y.size(); ++blk) {
        if (journal.count(blk)) continue;
        const u64 at = blk * bs;
        bool same = true;
        if (at < 2048 && at + bs > 1024) {
          same = std::memcmp(x.data() + at, y.data() + at, 1024 - std::min<u64>(at, 1024)) == 0 &&
                 std::memcmp(x.data() + std::max<u64>(at, 2048), y.data() + std::max<u64>(at, 2048),
                             at + bs - std::max<u64>(at, 2048)) == 0;
        } else {
          same = std::memcmp(x.data() + at, y.data() + at, bs) == 0;
        }
        if (!same && ++shown <= 10) differ += " " + std::to_string(blk);
      }
      if (!differ.empty()) problems += "  blocks that differ from e2fsck's replay:" + differ + "\n";
    }
    if (std::string p = CrashFsckProblems(b, false); !p.empty()) problems += "  after our recovery:\n" + p;
    // (c) names and contents: the state after the last step whose final commit is in, or a state
    // the next one passes through.
    std::string errors, errorsA;
    const CrashTree got = CrashReadTree(b, &errors);
    const CrashTree gotA = CrashReadTree(a, &errorsA);
    // A torn write counts as not written or as written whole (its first sector may hold a commit);
    // a shuffled epoch as any cut inside it.
    std::size_t reached = 0;
    bool allowed = false;
    for (std::size_t n = from; n <= cut.n + (cut.torn ? 1 : 0) && !allowed; ++n) {
      reached = 0;
      while (reached < steps.size() && finals[reached] < static_cast<long long>(n)) ++reached;
      const CrashTree& state = reached ? steps[reached - 1].state : initial;
      allowed = got == state || (reached < steps.size() && CrashIntermediate(got, state, steps[reached]));
    }
    const CrashTree& want = reached ? steps[reached - 1].state : initial;
    if (!errors.empty()) problems += "  reading after our recovery: " + errors + "\n";
    if (!allowed)
      problems += "  names and contents after our recovery differ from the state after '" +
                  (reached ? steps[reached - 1].label : std::string("the start")) + "'" +
                  (reached < steps.size() ? " (or during '" + steps[reached].label + "')" : "") + ":\n" +
                  TreeDiff(got, want);
    if (gotA != got)
      problems += "  names and contents after e2fsck's replay differ from ours:\n" + TreeDiff(gotA, got) +
                  (errorsA.empty() ? "" : "    reading: " + errorsA + "\n");
    if (!problems.empty()) {
      ++failures;
      if (failures <= 5) {
        std::ostringstream head;
        head << "cut after " << cut.n << " of " << rec.writes.size() << " writes";
        if (cut.torn) head << " (+" << cut.torn << " sectors of write " << cut.n << ")";
        if (cut.shuffle) head << " (the writes from " << from << " on in part, seed " << cut.shuffle << ")";
        firstFailures += head.str() + ":\n" + problems;
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("[crash] %s: %zu writes, %zu commits, %zu steps, %zu cuts checked, %d failed (%.1f s)\n", name.c_str(),
              rec.writes.size(), commits.size(), steps.size(), cuts.size(), failures, seconds);
  std::fflush(stdout);
  EXPECT_EQ(failures, 0) << name << ": " << failures << " of " << cuts.size() << " cuts failed; the first:\n"
                         << firstFailures;
}

std::string CrashEngineMissing(const std::string& workDir) {
  const std::string image = workDir + "/probe.img";
  int status = 0;
  Shell("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 4M 2>&1", &status);
  if (status != 0) return "mke2fs failed";
  auto rec = CutRecorder::FromFile(image);
  CrashDrive drive(rec);
  std::string why;
  if (drive.Attach(&why) != 0) return "no writable attach: " + why;
  if (int r = Ext4Mkdir(drive.vol(), "/probe"); r != 0) return "mkdir gives " + std::to_string(r);
  Ext4File f;
  if (int r = Ext4FileOpenMode(drive.vol(), &f, "/probe/file", "w", true); r != 0)
    return "creating a file gives " + std::to_string(r);
  u32 done = 0;
  const int written = Ext4FileWrite(&f, "probe", 5, &done);
  Ext4FileClose(&f);
  if (written != 0) return "writing gives " + std::to_string(written);
  if (int r = drive.Detach(); r != 0) return "detach gives " + std::to_string(r);
  if (rec->CommitWrites().empty()) return "no journal commit was written";
  rec->SaveCurrent(image);
  if (std::string p = CrashFsckProblems(image, false); !p.empty()) return "e2fsck after a mkdir and a file:\n" + p;
  return {};
}

std::string CrashBytes(std::size_t n, u32 seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

}  // namespace kpwtest
