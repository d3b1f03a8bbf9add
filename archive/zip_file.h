// The zip archive class: the view's shared archive object, reading, updating and writing archives.
//
// Writing (modes 2 and 3) goes to a temporary file beside the archive, which has no name where
// the file system allows (sys_replace.h); only a successful Close puts it in the archive's place,
// flushed, so Discard, a failure, a cancel or a killed process leave the old archive as it was.
// The new archive keeps the old one's owner, group and mode; a read-only archive, or one whose
// owner cannot be kept, is not opened for writing.
// Mode 2 on a missing file starts a new, empty archive. Entries are written stored or deflated
// (ZIP64 where sizes, offsets or the count need it), with the names' bytes (flagged UTF-8 where
// they are), Unix modes and exact modification times. Reading takes stored, deflate, deflate64,
// bzip2, LZMA, xz and PPMd entries, also encrypted ones (traditional or AES) where the password
// callback gives the password; any other method, or an encrypted entry without its password, is
// reported by name while the rest is still unpacked.
#pragma once

#include "archive/arc_file.h"

#include <memory>
#include <string>
#include <vector>

class CZipFile : public CArcFile {
 public:
  CZipFile();
  // An archive still open for writing is discarded: only Close commits.
  ~CZipFile() override;

  // An archive that is still open is discarded first.
  int Open(const char* path, int mode, int level) override;
  // For reading only, with the same checks as a file gets.
  int OpenMemory(const void* data, std::size_t size, const char* name) override;
  // Unpacks every entry under folder (created when missing). Names are read with "\" as "/";
  // absolute names, drive letters and ".." components are skipped and reported (event 10), and
  // so are symbolic links (other special entries unpack as plain files). Nothing is written
  // outside folder, not even through links that already lie inside it: entries below a link to a
  // folder are left out without an error (SkippedFolderLinks names the links). A file gets its name only
  // when it is whole and its check sum is right; an entry whose file was not there when it came
  // up never replaces one that appeared meanwhile.
  int ExtractAll(const char* folder, const char* reserved) override;
  // Packs the files that a listing of source selects (plus and minus: ";"-separated patterns;
  // ARC_FLAG_RECURSE lists sub-folders) under the names relative to source, below folder when
  // given. During the skip query (event 15) of a file or folder its entry name is still the
  // path relative to source, so that excluded source folders match; the archive file itself and
  // its temporary file are never packed. A file or folder whose name holds "\" is not packed
  // and is reported (ARC_ERR_NAME): "\" separates folders in entry names.
  int AddTree(const char* source, const char* plus, const char* minus, const char* folder) override;
  std::string GetErrorText() const override;
  // The links to folders in the target that the last ExtractAll left alone, as full paths.
  const std::vector<std::string>& SkippedFolderLinks() const;

  bool IsOpen() const { return m_openMode != 0; }
  int GetOpenMode() const { return m_openMode; }

  virtual int GetEntryCount() const;
  // Commits and writes; 0 on success, non-zero when closing failed (the old archive is kept).
  virtual int Close();
  // Drops pending changes and closes.
  virtual void Discard();
  // Position and total of the running operation; false when none runs. Safe from any thread.
  virtual bool GetProgress(i64* position, i64* total) const;
  // Name of an entry ("/" or "\" separators as stored); false for a bad index.
  virtual bool GetEntryName(int index, std::string& name) const;
  virtual bool IsEntryFolder(int index) const;

  // How the progress line splits the current entry's text: head length, middle length and
  // whether the tail after the middle is kept.
  struct NameOffsets {
    int head = 0;
    int middle = -1;
    int keepTail = 0;
  };
  virtual NameOffsets GetNameOffsets() const;

  // Threads that deflate entries: 0 (the default) as many as the process may run on, 1 none
  // besides the caller's. The archive is the same byte for byte whatever the count.
  void SetThreadCount(int count);

  struct Impl;

 protected:
  int m_openMode = 0;

 private:
  friend struct Impl;
  std::unique_ptr<Impl> m_impl;
};
