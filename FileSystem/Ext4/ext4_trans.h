// The running journal as the rest of the engine sees it: transactions and the hooks for changed and freed blocks.
#pragma once

#include "FileSystem/Ext4/ext4_fs.h"

// Starts the journal of a writable volume after recovery (0 without doing anything on a read-only
// volume or one without a journal); stops it at detach, writing every logged block home first.
int Ext4JournalStart(Ext4Volume* vol);
int Ext4JournalStop(Ext4Volume* vol);

// Every write-like operation: start before it changes anything, stop (commit) when it succeeded,
// abort when it failed. Without a running journal they do nothing.
int Ext4TransStart(Ext4Volume* vol);
int Ext4TransStop(Ext4Volume* vol);
int Ext4TransAbort(Ext4Volume* vol);
// For operations that may span transactions (large writes, truncation in steps, lazy inode-table
// zeroing, rmdir's entries, file removal): commits the current transaction and starts the next one
// when it has reached its cap; otherwise nothing.
int Ext4TransRestartIfFull(Ext4Volume* vol);
// Whether a transaction is running (operations that commit on their own restart the caller's).
bool Ext4TransRunning(Ext4Volume* vol);

// A metadata block changed: marks the buffer dirty and logs it in the current transaction.
int Ext4TransSetBlockDirty(Ext4Fs* fs, Ext4Buffer& buf);
// A block was freed: revoked where an older live transaction logged it; its cached copy is dropped.
int Ext4TransTryRevokeBlock(Ext4Fs* fs, u64 block);
