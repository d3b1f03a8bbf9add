// The zip archive class as the job engine uses it: the view's shared archive object.
#pragma once

#include "archive/arc_file.h"

#include <string>

class CZipFile : public CArcFile {
 public:
  CZipFile() = default;
  ~CZipFile() override = default;

  bool IsOpen() const { return m_openMode != 0; }
  int GetOpenMode() const { return m_openMode; }

  virtual int GetEntryCount() const;
  // Commits and writes; 0 on success, non-zero when closing failed.
  virtual int Close();
  // Drops pending changes and closes.
  virtual void Discard();
  // Position and total of the running operation; false when none runs.
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
  virtual NameOffsets GetNameOffsets() const { return {}; }

 protected:
  int m_openMode = 0;
};
