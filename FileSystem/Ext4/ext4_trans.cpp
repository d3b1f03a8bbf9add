// Transactions of the running journal. Without a journal the hooks only mark and drop cached blocks.
#include "FileSystem/Ext4/ext4_trans.h"

int Ext4JournalStart(Ext4Volume* vol) { return vol ? EXT4_OK : EXT4_ENOENT; }
int Ext4JournalStop(Ext4Volume* vol) { return vol ? EXT4_OK : EXT4_ENOENT; }
int Ext4TransStart(Ext4Volume* vol) { return vol ? EXT4_OK : EXT4_ENOENT; }
int Ext4TransStop(Ext4Volume* vol) { return vol ? EXT4_OK : EXT4_ENOENT; }
int Ext4TransAbort(Ext4Volume* vol) { return vol ? EXT4_OK : EXT4_ENOENT; }
int Ext4TransRestartIfFull(Ext4Volume* vol) { return vol ? EXT4_OK : EXT4_ENOENT; }

int Ext4TransSetBlockDirty(Ext4Fs*, Ext4Buffer& buf) {
  Ext4BlockMarkDirty(buf);
  return EXT4_OK;
}

int Ext4TransTryRevokeBlock(Ext4Fs* fs, u64 block) {
  if (!fs || !fs->dev) return EXT4_ENODEV;
  Ext4BlockCacheForget(*fs->dev, block);
  return EXT4_OK;
}

struct Ext4Journal {};
void Ext4JournalDeleter::operator()(Ext4Journal* j) const { delete j; }
