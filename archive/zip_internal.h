// What the parts of CZipFile share: buffered archive input and output, records, the state.
#pragma once

#include "archive/zip_file.h"
#include "archive/zip_format.h"
#include "lib/system/sys_replace.h"

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

// Reads an archive file by offset through a buffer (sequential reads come from memory), or an
// archive held in memory.
class ZipInput {
 public:
  ZipInput() = default;
  explicit ZipInput(int fd, u64 size) : m_fd(fd), m_size(size) {}
  void Reset(int fd, u64 size) {
    m_fd = fd;
    m_memory = nullptr;
    m_size = size;
    m_bufStart = m_bufLength = 0;
  }
  // The bytes stay the caller's and must outlive the reading.
  void ResetMemory(const u8* data, u64 size) {
    Reset(-1, size);
    m_memory = data;
  }
  u64 Size() const { return m_size; }
  int Fd() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0 || m_memory; }
  // Reads exactly length bytes at offset; false (errno set, or 0 for a short file) on failure.
  bool Read(u64 offset, void* data, std::size_t length);

 private:
  int m_fd = -1;
  const u8* m_memory = nullptr;
  u64 m_size = 0;
  std::vector<u8> m_buffer;
  u64 m_bufStart = 0;
  std::size_t m_bufLength = 0;
};

// Writes the new archive through a buffer; keeps the offset; can patch bytes already written
// and cut the file back to an earlier offset.
class ZipOutput {
 public:
  void Attach(int fd) {
    m_fd = fd;
    m_flushed = 0;
    m_buffer.clear();
    m_error = 0;
  }
  u64 Offset() const { return m_flushed + m_buffer.size(); }
  bool Write(const void* data, std::size_t length);
  bool Write(const std::string& text) { return Write(text.data(), text.size()); }
  // Overwrites bytes at an earlier offset.
  bool Patch(u64 offset, const void* data, std::size_t length);
  // Cuts the output back to offset (not before what the archive already holds).
  bool Truncate(u64 offset);
  // Copies length bytes from another file at offset, in the kernel where it can.
  bool CopyFrom(int fd, u64 offset, u64 length);
  bool Flush();
  int Error() const { return m_error; }

 private:
  int m_fd = -1;
  u64 m_flushed = 0;
  std::vector<u8> m_buffer;
  int m_error = 0;
};

// Reads the central directory. 0 or an ArcError code (detail: what is wrong).
int ZipReadDirectory(ZipInput& input, std::vector<ZipEntryRec>& entries, std::string& detail);

// Offset of an entry's data from its local header; false when the header is damaged.
bool ZipDataOffset(ZipInput& input, const ZipEntryRec& entry, u64* dataOffset);
// Streams an entry's data to sink (false from sink stops with ARC_ERR_WRITE), checking size, CRC
// and, for AES, the code behind the data; an encrypted entry needs its password (else
// ARC_ERR_ENCRYPTED), a wrong one gives ARC_ERR_PASSWORD before any byte reaches sink. 0 or an
// ArcError code; detail says what was wrong with the data.
using ZipSink = std::function<bool(const u8* data, std::size_t length)>;
int ZipDecodeEntry(ZipInput& input, const ZipEntryRec& entry, const std::string* password, const ZipSink& sink,
                   std::string& detail);
// Whether the password opens an encrypted entry, by the check value in front of its data only:
// 0, ARC_ERR_PASSWORD, or the error that reading the header met.
int ZipCheckPassword(ZipInput& input, const ZipEntryRec& entry, const std::string& password, std::string& detail);
// Whether the method is one ZipDecodeEntry can read.
bool ZipMethodSupported(u16 method);

// Records of a new archive.
std::string ZipLocalHeader(const ZipEntryRec& entry);
std::string ZipCentralHeader(const ZipEntryRec& entry);
std::string ZipEndRecords(u64 count, u64 directoryOffset, u64 directorySize);

// German text of an errno value.
const char* ZipSystemText(int err);

struct CZipFile::Impl {
  explicit Impl(CZipFile& owner) : self(owner) {}

  CZipFile& self;
  int level = 9;
  int threads = 0;

  // The archive as opened (read, or the old archive of an update).
  int oldFd = -1;
  ZipInput input;
  bool oldExists = false;
  dev_t oldDev = 0;
  ino_t oldIno = 0;

  // The new archive while writing (it replaces the old one only at Close).
  SysReplacement replacement;
  int tempFd = -1;
  dev_t tempDev = 0;
  ino_t tempIno = 0;
  ZipOutput output;
  bool changed = false;

  std::vector<ZipEntryRec> entries;
  std::unordered_map<std::string, int> byName;  // live entries by name
  std::vector<std::string> skippedFolderLinks;  // of the last ExtractAll

  // The password of the archive's encrypted entries, as the callback gave it (wiped at Reset).
  std::string password;
  bool hasPassword = false;
  bool passwordWrong = false;  // the last password given did not fit

  // Progress of the running operation (read by other threads).
  std::atomic<i64> progressPos{0};
  std::atomic<i64> progressTotal{0};
  std::atomic<bool> running{false};
  NameOffsets offsets;
  std::string eventText;

  // What the last error names: an entry or file, and the system error or a detail text.
  std::string errItem;
  int errSys = 0;
  std::string errDetail;

  // Sets the error and its details; returns the code.
  int Fail(int code, std::string item = {}, int sysErr = 0, std::string detail = {});
  // Reports the last error through event 10; true when the answer stops the operation (the
  // error is then ARC_ERR_USER_ABORT).
  bool ReportError(int index);
  // An event with the entry name as its text (marker first); true when the answer stops.
  bool ProgressEvent(int event, int index, const std::string& name);
  int NotifyEvent(int event, int index, const char* text) { return self.Notify(event, index, text); }
  // Takes back a new entry that was not written: the entry it replaced (or none) is live again.
  void Restore(int index, int replaced);
  // Removes dropped entries from the table and renews the name index.
  void Compact();
  // Closes files and removes the temporary file.
  void Reset();
  // A password that opens the encrypted entry: the one kept, else asked through the callback
  // until it fits. 0, ARC_ERR_ENCRYPTED (none at hand), ARC_ERR_PASSWORD (none after a wrong
  // one), ARC_ERR_USER_ABORT, or the error that reading the entry's header met.
  int SettlePassword(const ZipEntryRec& entry, std::string& detail);
  bool IsSelf(dev_t dev, ino_t ino) const;
};
