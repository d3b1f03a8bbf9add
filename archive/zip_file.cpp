// The zip archive class: until the format is built in, every operation fails cleanly.
#include "archive/zip_file.h"

int CZipFile::GetEntryCount() const { return 0; }

int CZipFile::Close() {
  const int wasOpen = m_openMode;
  m_openMode = 0;
  return wasOpen ? ARC_ERR_NOT_AVAILABLE : 0;
}

void CZipFile::Discard() { m_openMode = 0; }

bool CZipFile::GetProgress(i64* position, i64* total) const {
  if (position) *position = 0;
  if (total) *total = 0;
  return false;
}

bool CZipFile::GetEntryName(int, std::string& name) const {
  name.clear();
  return false;
}

bool CZipFile::IsEntryFolder(int) const { return false; }
