// The engine interface: what the volume file API asks of the file system that serves a drive.
#pragma once

#include "lib/system/sys_types.h"
#include "platform/win_types.h"

#include <string>

// Open modes of DiskFileOpen.
enum : int {
  DISK_OPEN_READ = 1,
  DISK_OPEN_WRITE = 2,
  DISK_OPEN_CREATE = 4,    // create, or empty an existing file
  DISK_OPEN_TRUNCATE = 8,  // with DISK_OPEN_WRITE
};

// The attribute word of records and of DiskSetAttributes.
enum : u32 {
  DISK_ATTR_READABLE = 0x01,  // always set
  DISK_ATTR_WRITABLE = 0x02,  // clear for read-only entries
  DISK_ATTR_FOLDER = 0x10,
  DISK_ATTR_HIDDEN = 0x20,
  DISK_ATTR_ARCHIVE = 0x40,
  DISK_ATTR_SYSTEM = 0x80,
  DISK_ATTR_EXFAT_08 = 0x100,       // exFAT's attribute 0x08
  DISK_ATTR_OWNER_EXECUTE = 0x200,  // ext4
  DISK_ATTR_UNIX_MODE_SHIFT = 16,  // a Unix mode in the upper 16 bits
};

// What DiskSetAttributes answers when nothing can change: the path names the drive list or a
// volume's root.
inline constexpr int DISK_ATTR_UNCHANGED = 16;

// Name kinds of DiskResolvePath.
enum : int { DISK_NAME_BY_FS = 0, DISK_NAME_8BIT = 1, DISK_NAME_UTF8 = 2, DISK_NAME_UTF16 = 3 };

// One entry of a search. Names are UTF-8 and sizes whole.
struct DiskFindRecord {
  u32 attributes = 0;
  u64 size = 0;
  i64 creation = 0;  // seconds since 1970 UTC (negative before); 0 = none
  i64 access = 0;
  i64 write = 0;
  char name[1024] = {};
  // A symbolic link (ext4); the rest describes its target when the link leads somewhere.
  bool link = false;
};

// The size and free room of a volume, in its own allocation units.
struct DiskSpace {
  u32 bytesPerSector = 512;
  u32 sectorsPerCluster = 0;
  u64 totalClusters = 0;
  u64 freeClusters = 0;
  u64 availableClusters = 0;  // free to an ordinary user (ext4 keeps some blocks to root)
};

// What a path names.
struct DiskPathStatus {
  bool list = false;  // the drive list
  bool root = false;
  bool folder = false;
  u64 size = 0;
  u32 attributes = 0;  // the attribute word, without a Unix mode
};

// A search as the volume file API splits its path.
struct DiskSearchPath {
  const char* path = nullptr;  // as the caller wrote it
  std::string inside;          // the path inside the volume, never empty
  std::string folder;          // the folder searched: inside without its last name ("" the root)
  std::string last;            // the last name
  bool pattern = false;        // the last name holds "*" or "?"
};

// What FindFirst answers when the path named one entry: the record holds it, no search stays open.
inline constexpr int DISK_FOUND_ONE = -2;

// The engine object serving the file system of one drive.
//
// Results are SysError codes where nothing else is said. Paths are inside the volume, UTF-8 with
// "/" between names ("a/b"; "" is the root), "." and ".." already resolved. Open files and searches
// are named by their slot: what a handle carries. The layer above has found the drive and its
// engine, refused writes on a read-only drive where every engine refuses them alike, and checks
// each slot's range here. The answers of this base are those of a drive that no engine serves.
class DiskVolume {
 public:
  virtual ~DiskVolume() = default;
  // Closes whatever files and folders are still open on the volume and unmounts it, writing out
  // what the engine still holds.
  virtual void Unmount() = 0;
  // Whether the last unmount could not write out everything (its first error is kept).
  virtual bool UnmountFailed() const { return false; }
  // Whether the volume takes writes (a writable drive's engine may still refuse them, saying why
  // in the drive's note).
  virtual bool Writable() const { return true; }

  // ---- open files; a slot that holds none: SYS_ERR_INVALID (a size of -1) ----
  // The slot of a new open file (DISK_OPEN_* modes), or -1 with err set.
  virtual int FileOpen(const std::string& /*inside*/, int /*mode*/, int& err) {
    err = SYS_ERR_OTHER;
    return -1;
  }
  virtual int FileClose(u32 /*slot*/) { return SYS_ERR_INVALID; }
  // Bytes moved, or a SysError; what moved before an error counts.
  virtual int FileRead(u32 /*slot*/, void* /*buffer*/, int /*length*/) { return SYS_ERR_INVALID; }
  virtual int FileWrite(u32 /*slot*/, const void* /*buffer*/, int /*length*/) { return SYS_ERR_INVALID; }
  // whence 0 start, 1 current, 2 end: the new position.
  virtual i64 FileSeek(u32 /*slot*/, i64 /*offset*/, int /*whence*/) { return SYS_ERR_INVALID; }
  virtual i64 FileTell(u32 /*slot*/) { return SYS_ERR_INVALID; }
  // Writes out what the engine holds of the file and synchronises the medium.
  virtual int FileFlush(u32 /*slot*/) { return SYS_ERR_INVALID; }
  virtual int GetFileTime(u32 /*slot*/, i64* /*write*/, i64* /*creation*/, i64* /*access*/) {
    return SYS_ERR_INVALID;
  }
  // 0 leaves a time as it is.
  virtual int SetFileTime(u32 /*slot*/, i64 /*write*/, i64 /*creation*/, i64 /*access*/) { return SYS_ERR_INVALID; }
  virtual i64 GetFileSize(u32 /*slot*/) { return -1; }
  virtual int SetFileSize(u32 /*slot*/, u64 /*size*/) { return SYS_ERR_INVALID; }
  virtual int ReadDirEntry(u32 /*slot*/, DiskFindRecord& /*record*/) { return SYS_ERR_INVALID; }

  // ---- paths ----
  // entryItself: a symbolic link's own status, else its target's where it leads somewhere.
  virtual int Stat(const std::string& /*inside*/, DiskPathStatus& /*status*/, bool /*entryItself*/) {
    return SYS_ERR_OTHER;
  }
  virtual int Mkdir(const std::string& /*inside*/) { return SYS_ERR_OTHER; }
  // Removing a folder or a file, replacing a file and setting attributes check a read-only drive
  // themselves, each in its engine's order.
  virtual int Rmdir(const std::string& /*inside*/) { return SYS_ERR_OTHER; }
  virtual int Delete(const std::string& /*inside*/) { return SYS_ERR_OTHER; }
  // Never over an existing target.
  virtual int Rename(const std::string& /*from*/, const std::string& /*to*/) { return SYS_ERR_OTHER; }
  // The file to takes the content of the file from, whose name goes (DiskReplaceFile).
  virtual int Replace(const std::string& /*from*/, const std::string& /*to*/) { return SYS_ERR_OTHER; }
  virtual int SetAttributes(const std::string& /*inside*/, u32 /*attributes*/) { return SYS_ERR_OTHER; }

  // ---- searches, by the slots of folder searches ----
  // The slot of a search whose first entry is in the record, DISK_FOUND_ONE, or -1 with err set
  // (SYS_ERR_INVALID when nothing matches).
  virtual int FindFirst(const DiskSearchPath& /*search*/, DiskFindRecord& /*record*/, int& err) {
    err = SYS_ERR_OTHER;
    return -1;
  }
  // SYS_ERR_NOT_FOUND at the end.
  virtual int FindNext(u32 /*slot*/, DiskFindRecord& /*record*/) { return SYS_ERR_INVALID; }
  virtual int FindClose(u32 /*slot*/) { return SYS_ERR_INVALID; }

  // ---- the volume ----
  virtual int GetFreeSpace(DiskSpace& /*space*/) { return SYS_ERR_PATH; }
  // The time a file keeps when it is set to t (DiskStoredTime).
  virtual i64 StoredTime(i64 t) { return t; }
  // The key under which a folder keeps a name; "" for a name the volume cannot hold (DiskNameKey).
  virtual std::string NameKey(const std::string& name) { return name; }
  // How the engine takes names: DISK_NAME_UTF8 or DISK_NAME_UTF16.
  virtual int NameKind() const { return DISK_NAME_UTF8; }
  // Names are bytes, not necessarily UTF-8.
  virtual bool ByteNames() const { return false; }
};
