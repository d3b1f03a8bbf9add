// Inside the buffer list engine: one exchange's state and the file helpers its steps share.
#pragma once

#include "jobs/puffer/puffer_list.h"
#include "lib/system/sys_tree.h"

#include <map>
#include <string>
#include <vector>

// The records of one path, by number.
struct PufferSlots {
  u16 present = 0;
  std::array<PufferRecord, kPufferSlots> rec{};

  bool Has(int n) const { return (present >> n) & 1u; }
  const PufferRecord& Get(int n) const { return rec[static_cast<std::size_t>(n)]; }
  void Set(int n, PufferRecord r) {
    r.number = static_cast<u32>(n);
    rec[static_cast<std::size_t>(n)] = r;
    present = static_cast<u16>(present | (1u << n));
  }
  void Clear(int n) { present = static_cast<u16>(present & ~(1u << n)); }
  // Whether slot n holds the source's version (same checksum and size).
  bool HasSourceVersion(int n) const {
    return Has(0) && Has(n) && Get(n).checksum == Get(0).checksum && Get(n).size == Get(0).size;
  }
};

// Paths in list form ("\" separators) to their records, in byte order: the index that finds
// records, and the order in which the list is written.
using PufferIndex = std::map<std::string, PufferSlots>;

// A file of the data folder that the list can hold.
struct PufferLocalFile {
  std::string key;  // list form
  SysFileInfo info;
};

struct PufferList::Exchanger {
  PufferList* owner = nullptr;
  std::string listPath;   // the list file
  std::string dataDir;    // the data folder, resolved, without a trailing "/"
  std::string bufferDir;  // the buffer folder beside the list
  std::string bufferName; // its name in the list's folder
  // The data folder and the list's folder, each opened once; every folder below them is opened
  // without following links, so that a folder swapped for a link while the exchange runs is never
  // written, deleted or read through. The buffer is bufferName below the list's folder.
  SysTree dataTree;
  SysTree carrierTree;
  std::string localHost;  // this computer's name as the slots hold it
  PufferListFile file;    // PLUS, MINUS, hosts and room as read; records live in index
  PufferIndex index;
  bool readWhole = false;  // the list as read was whole
  bool changed = false;
  bool vouch = true;       // the writer can vouch for the list: write it with its END line

  // Lists the data folder with the list's patterns. Links are never carried; names the list
  // cannot hold are reported and left out.
  // complete tells whether every folder could be read. Returns the number of file entries seen,
  // those left out included.
  int ListData(std::vector<PufferLocalFile>& files, bool& complete);
  int SourceCount() const;
  // Whether a non-empty destination slot lacks the source's version of the path.
  bool Lacks(const PufferSlots& slots) const;

  std::string DataPath(const std::string& key) const;
  std::string BufferPath(const std::string& key) const;
  // A path relative to the buffer ("/" separators) as a path in carrierTree.
  std::string BufferRel(std::string_view rel) const;
  bool HostIsSlot(int slot, std::string_view name) const;
  // Writes the index as the list file, through a temporary file; 0 or an errno value.
  int WriteList(bool withEnd);
};

// German text of an errno value or a PUFFER_ERR_* kind.
std::string PufferErrorText(int err);
// A name as it can be shown: UTF-8, control characters as "?".
std::string PufferShowName(std::string_view name);

// List form to relative file-system path and back.
std::string PufferRelFromKey(const std::string& key);
std::string PufferKeyFromRel(std::string_view rel);

// ---- files ----------------------------------------------------------------------------------

// Failure kinds of the helpers besides errno values.
enum : int {
  PUFFER_ERR_NOT_REGULAR = -100,  // a folder, link or special file where a file was expected
  PUFFER_ERR_CHANGED = -101,      // the file changed while it was read
  PUFFER_ERR_MISMATCH = -102,     // a copy whose size or checksum is not the one wanted
  PUFFER_ERR_LINK = -103,         // a link (or a file) stands where a folder on the way should be
  PUFFER_ERR_WIN32 = -1000000,    // minus a Windows error code: a failure of the copy engine
};

// Before the engine reads a file (op PUFFER_FAULT_READ: checksums, copy sources) or looks a data
// file up (PUFFER_FAULT_STAT): an errno value to act as that error, or 0. The engine's own
// definition never fails; a test program links one of its own over it.
enum : int { PUFFER_FAULT_READ = 1, PUFFER_FAULT_STAT = 2 };
int PufferFault(const char* path, int op);

struct PufferFileState {
  u64 size = 0;
  SysUtc time = 0;
  u32 checksum = 0;
};
// Reads a regular file whole for its checksum (no link followed unless followLinks); the state
// describes exactly what was read. 0, an errno value or PUFFER_ERR_*.
int PufferChecksumFile(const char* path, bool followLinks, PufferFileState* out);
// The same for the name in the folder open as dirFd, never through a link; path names it for the
// test seam.
int PufferChecksumAt(int dirFd, const char* name, const char* path, PufferFileState* out);
// The same for rel below tree's root, no folder on the way opened through a link.
int PufferChecksumIn(SysTree& tree, std::string_view rel, const char* path, PufferFileState* out);

// Reads a whole file; 0 or an errno value.
int PufferReadWhole(const std::string& path, std::string& out);
// Replaces path by text with the durable replace (sys_replace.h): the old file stays whole on
// any failure. 0 or an errno value.
int PufferWriteFileAtomic(const std::string& path, const std::string& text);

// Copies the file srcName of the folder open as srcDir (never a link; srcPath names it for the
// test seam) onto dstName in the folder open as dstDir, through a temporary name beside it; checks
// that the copy has the size and checksum of want, then renames it over dstName. *state (may be
// null) gets the copy's state. 0, an errno value or PUFFER_ERR_*.
int PufferCopyVerified(int srcDir, const char* srcName, const char* srcPath, int dstDir, const char* dstName,
                       const PufferRecord& want, PufferFileState* state);

// The same for the file fromRel below from onto toRel below to, the target's missing folders
// made; no folder on either way is opened through a link. A link (or a file) on the target's way
// sets *wayBlocked and gives PUFFER_ERR_LINK, so does a link on the source's way without it.
// from and to are two trees: each hands out one folder at a time.
int PufferCopyIn(SysTree& from, std::string_view fromRel, const char* fromPath, SysTree& to, std::string_view toRel,
                 const PufferRecord& want, PufferFileState* state, bool* wayBlocked);

// The folder that holds rel (a relative path, "/" separators) below tree's root, opened without
// following any link and, with make, made with its missing parents; *name gets rel's last name.
// The descriptor is the tree's, valid until its next folder. -1 with errno: ELOOP for a link on
// the way, ENOTDIR for a file there, ENOENT for a missing folder.
int PufferFolderOf(SysTree& tree, std::string_view rel, bool make, std::string* name);
// What stands at path, links not followed: 0 a regular file, 1 a folder, 2 something else,
// or a negative errno value (the test seam's PUFFER_FAULT_STAT included).
int PufferLookup(const char* path);
// The same for rel below tree's root (path names it for the seam); -ELOOP when a link stands on
// the way, which is never followed.
int PufferLookupIn(SysTree& tree, std::string_view rel, const char* path);
// Deletes the regular file rel below tree's root. A link, a folder or anything else in its place
// is left alone (PUFFER_ERR_NOT_REGULAR), so is a name with a link on the way (PUFFER_ERR_LINK).
// 0 or an errno value.
int PufferDeleteIn(SysTree& tree, std::string_view rel);

// A lock file beside the list that keeps two computers from using one carrier at once.
class PufferLock {
 public:
  PufferLock() = default;
  ~PufferLock() { Release(); }
  PufferLock(const PufferLock&) = delete;
  PufferLock& operator=(const PufferLock&) = delete;
  // Takes the lock; false with a German reason when another holds it or it cannot be created.
  // A lock is stale after 12 hours, or at once when it names this host and a process that is gone.
  // now: the run's clock, written into the lock and compared with the time of a lock found.
  bool Acquire(const std::string& lockPath, const std::string& host, i64 now, std::string* why);
  void Release();

 private:
  std::string m_path;
  std::string m_content;
};
