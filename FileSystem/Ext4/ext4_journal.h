// The ext4 journal (jbd2 format): its superblock and the recovery of a log left by a crash.
#pragma once

#include "FileSystem/Ext4/ext4_fs.h"

// Journal block types and features.
enum : u32 {
  EXT4_JBD_MAGIC = 0xC03B3998,
  EXT4_JBD_DESCRIPTOR = 1,
  EXT4_JBD_COMMIT = 2,
  EXT4_JBD_SB_V1 = 3,
  EXT4_JBD_SB_V2 = 4,
  EXT4_JBD_REVOKE = 5,
  EXT4_JBD_INCOMPAT_REVOKE = 0x1,
  EXT4_JBD_INCOMPAT_64BIT = 0x2,
  EXT4_JBD_INCOMPAT_ASYNC_COMMIT = 0x4,
  EXT4_JBD_INCOMPAT_CSUM_V2 = 0x8,
  EXT4_JBD_INCOMPAT_CSUM_V3 = 0x10,
  EXT4_JBD_INCOMPAT_FAST_COMMIT = 0x20,
  EXT4_JBD_FLAG_ESCAPE = 0x1,
  EXT4_JBD_FLAG_SAME_UUID = 0x2,
  EXT4_JBD_FLAG_DELETED = 0x4,
  EXT4_JBD_FLAG_LAST_TAG = 0x8,
};

// The journal as a file of the volume: its inode and its superblock in memory.
struct Ext4JournalFs {
  u32 inode = 0;
  u64 blocks = 0;  // the journal file's length in blocks
  std::array<u8, 1024> sb{};
  bool dirty = false;
};

// Loads and checks the journal superblock: 0, 5 for a bad one, 95 without a journal in an inode.
int Ext4JournalLoad(Ext4Volume* vol, Ext4JournalFs* jfs);
int Ext4JournalWriteSuper(Ext4Volume* vol, Ext4JournalFs* jfs);
// Whether the volume is marked for recovery and its log holds transactions (or lies elsewhere);
// errorKept (when given): whether the journal keeps an error that a writable attach takes over.
int Ext4JournalNeedsRecovery(Ext4Volume* vol, bool* needed, bool* errorKept = nullptr);

// Replays a log left by a crash on a writable volume: 0, 95 without a journal, or an error.
int Ext4JournalRecover(Ext4Volume* vol);
