// The crash scenario runner: a workload on a recorded drive, its expected states, and the checks of each cut image.
#pragma once

#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_ext4.h"
#include "tests/support/ext4_cut_medium.h"
#include "tests/support/ext4_images.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kpwtest {

using CrashTree = std::map<std::string, TreeEntry>;

// How an operation may be found half done after a cut (the operations that commit in steps).
enum class CrashPartial {
  None,
  Grow,    // a write: the target holds a prefix of its new content, at least its old size
  Shrink,  // a truncation: the target holds a prefix of its old content, at least its new size
  Remove,  // a file removal: truncated in steps, then gone
};

// One operation of a workload: its writes [firstWrite, endWrite) and the state after it.
struct CrashStep {
  std::string label;
  std::size_t firstWrite = 0, endWrite = 0;
  CrashTree state;
  CrashPartial partial = CrashPartial::None;
  std::string target;  // the name a partial operation changes ("a/b")
  int result = 0;
};

// A writable attach of the recorder's image through the drive table, and its detach.
class CrashDrive {
 public:
  explicit CrashDrive(std::shared_ptr<CutRecorder> rec) : m_rec(std::move(rec)) {}
  ~CrashDrive() { Detach(); }
  // 0, or -1 with why when the drive did not mount writable.
  int Attach(std::string* why = nullptr);
  // The first error of write-back, journal stop and unmount (0 when all went well).
  int Detach();
  Ext4Volume* vol() const { return m_vol; }
  // The drive table (one fixed drive: paths lie inside the volume).
  DiskDriveTable& table() const { return *m_table; }

 private:
  std::shared_ptr<CutRecorder> m_rec;
  std::unique_ptr<DiskDriveTable> m_table;
  Ext4Volume* m_vol = nullptr;
};

// Operations through the engine on a recorded drive; each one is a step. Once an operation failed,
// the later ones do nothing (with expectFailures unset the failure also fails the test).
class CrashWorkload {
 public:
  CrashWorkload(std::shared_ptr<CutRecorder> rec, CrashTree initial);

  bool expectFailures = false;
  bool failed = false;
  std::size_t failedStep = 0;
  int failedResult = 0;

  void Attach();
  void Detach();
  // Open "w" (truncating an existing file), write in chunks, close: three steps.
  void Create(const std::string& path, const std::string& data, std::size_t chunk = 1 << 20);
  void Append(const std::string& path, const std::string& data);
  void Truncate(const std::string& path, u64 size);
  void Mkdir(const std::string& path);
  void Rmdir(const std::string& path);
  void Remove(const std::string& path);
  void Rename(const std::string& from, const std::string& to);
  // Any other operation on the volume, with the state it leaves.
  void Custom(const std::string& label, const std::function<int(Ext4Volume*)>& op, CrashTree after,
              CrashPartial partial = CrashPartial::None, const std::string& target = {});

  Ext4Volume* vol() const { return m_drive.vol(); }
  DiskDriveTable& table() const { return m_drive.table(); }
  const CrashTree& model() const { return m_model; }
  std::vector<CrashStep> steps;
  std::shared_ptr<CutRecorder> rec;

 private:
  void Step(const std::string& label, const std::function<int()>& op, CrashPartial partial = CrashPartial::None,
            const std::string& target = {});
  CrashDrive m_drive;
  CrashTree m_model;
};

// The tree below the root of an image file as the engine reads it (lost+found left out); errors
// of reading go into *errors.
CrashTree CrashReadTree(const std::string& image, std::string* errors);
CrashTree CrashReadTree(Ext4Volume* vol, std::string* errors);

// The problem lines of `e2fsck -fn` on an image (empty when clean); tolerateCounts lets the
// superblock's free block and inode counts pass (they are not journalled).
std::string CrashFsckProblems(const std::string& image, bool tolerateCounts);

// Whether got is a state that the step, a partial operation, passes through after before.
bool CrashIntermediate(const CrashTree& got, const CrashTree& before, const CrashStep& step);

// Which cuts to check: after each prefix of n writes (n from 0 to the number of writes), with
// torn > 0 the first torn sectors of write n on top.
struct CrashCut {
  std::size_t n = 0, torn = 0;
  // Not 0: the writes since the last sync before n arrived in any order, this seed choosing which.
  u64 shuffle = 0;
  bool operator<(const CrashCut& o) const {
    return n != o.n ? n < o.n : torn != o.torn ? torn < o.torn : shuffle < o.shuffle;
  }
};

// The sample: before, inside (torn after its first sector) and after every commit and
// journal-superblock write, and after it with its sync epoch arrived in part (inside [from, to) of the write numbers when given), plus random cuts
// (seeded by the name) and half as many where the writes since the last sync arrived in part;
// with the sweep asked for (KPW_CRASH_SWEEP=1 in the environment) every write cut before, inside
// and after, and once with its sync epoch in part.
std::set<CrashCut> CrashSample(const CutRecorder& rec, const std::string& name, std::size_t from = 0,
                               std::size_t to = ~std::size_t{0});
bool CrashSweep();
int CrashRandomCuts();

// Checks every cut: e2fsck's own replay, then ours, each followed by `e2fsck -fn`; both replays
// leave the same blocks outside the journal and the superblock; and the names and contents after
// ours against the states the steps allow. Failures are reported as test
// failures (the first few in detail); a summary line "[crash] ..." is printed.
void CrashCheckCuts(const std::string& name, const CutRecorder& rec, const std::vector<CrashStep>& steps,
                    const CrashTree& initial, const std::set<CrashCut>& cuts, const std::string& workDir);

// Whether the engine writes yet: a mkdir and a small file on a scratch image, detached with
// `e2fsck -fn` clean; why not, or empty.
std::string CrashEngineMissing(const std::string& workDir);

// Random bytes of a length (seeded).
std::string CrashBytes(std::size_t n, u32 seed);

}  // namespace kpwtest
