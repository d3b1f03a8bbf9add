// The ext4 engine bound to a drive of the drive table: mounting, journal recovery and unmounting.
#pragma once

#include "FileSystem/Ext4/ext4.h"
#include "FileSystem/Volume/drive_table.h"

#include <array>
#include <memory>
#include <string>

inline constexpr int EXT4_FILE_SLOTS = 16;
inline constexpr int EXT4_DIR_SLOTS = 8;

// A folder search of the volume file API: the open folder, its path from the root and the pattern.
struct Ext4DirSearch {
  Ext4Dir dir;
  std::string path;
  std::string pattern;
};

// The ext4 volume of a drive: the engine's volume over the drive's sectors.
class Ext4DriveVolume final : public DiskVolume {
 public:
  struct Overlay;

  // Mounts the drive's ext4 volume: read-only when the drive is; a journal left by a crash is
  // replayed first, on a read-only drive into memory alone. Null when the volume does not mount,
  // with the reason (German) in the table's note of the drive.
  static std::unique_ptr<Ext4DriveVolume> Mount(DiskDriveTable& table, int drive);
  ~Ext4DriveVolume() override;

  void Unmount() override;

  int FileOpen(const std::string& inside, int mode, int& err) override;
  int FileClose(u32 slot) override;
  int FileRead(u32 slot, void* buffer, int length) override;
  int FileWrite(u32 slot, const void* buffer, int length) override;
  i64 FileSeek(u32 slot, i64 offset, int whence) override;
  i64 FileTell(u32 slot) override;
  int FileFlush(u32 slot) override;
  int GetFileTime(u32 slot, i64* write, i64* creation, i64* access) override;
  int SetFileTime(u32 slot, i64 write, i64 creation, i64 access) override;
  i64 GetFileSize(u32 slot) override;
  int SetFileSize(u32 slot, u64 size) override;
  int ReadDirEntry(u32 slot, DiskFindRecord& record) override;

  int Stat(const std::string& inside, DiskPathStatus& status, bool entryItself) override;
  int Mkdir(const std::string& inside) override;
  int Rmdir(const std::string& inside) override;
  int Delete(const std::string& inside) override;
  int Rename(const std::string& from, const std::string& to) override;
  int SetAttributes(const std::string& inside, u32 attributes) override;

  int FindFirst(const DiskSearchPath& search, DiskFindRecord& record, int& err) override;
  int FindNext(u32 slot, DiskFindRecord& record) override;
  int FindClose(u32 slot) override;

  int GetFreeSpace(DiskSpace& space) override;
  i64 StoredTime(i64 t) override;
  bool ByteNames() const override { return true; }

  Ext4Volume* volume() const { return m_volume; }
  // The result of unmounting (the first write error), once Unmount ran.
  int unmountResult() const { return m_unmountResult; }
  bool UnmountFailed() const override { return m_unmountResult != 0; }
  bool Writable() const override { return m_volume && !m_volume->fs.readOnly; }

  // The slots of the volume file API.
  std::array<std::unique_ptr<Ext4File>, EXT4_FILE_SLOTS> files;
  std::array<std::unique_ptr<Ext4DirSearch>, EXT4_DIR_SLOTS> dirs;
  int lastFileSlot = EXT4_FILE_SLOTS - 1;
  int lastDirSlot = EXT4_DIR_SLOTS - 1;

  // Whether a file slot holds the inode open (for writing only, when asked).
  bool IsOpen(u32 inode, bool writing) const {
    for (const auto& f : files)
      if (f && f->inode == inode && (!writing || (f->flags & (EXT4_O_WRONLY | EXT4_O_RDWR)))) return true;
    return false;
  }

 private:
  Ext4DriveVolume(DiskDriveTable& table, int drive);
  // The open file of a slot, or null.
  Ext4File* FileOf(u32 slot);
  // Whether the entry a path names (not a link's target) is open in a file slot.
  bool EntryOpen(const std::string& inside);
  int ReplayInMemory(std::string* note);
  DiskDriveDevice m_medium;
  std::unique_ptr<Overlay> m_overlay;  // before the device, whose callbacks use it
  std::unique_ptr<Ext4BlockDevice> m_device;
  Ext4Volume* m_volume = nullptr;
  int m_unmountResult = 0;
};
