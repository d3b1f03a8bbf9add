// CFileMapping: a file mapped read-only into memory as a whole.
#pragma once

#include "platform/win_types.h"

class CFileMapping {
 public:
  CFileMapping() = default;
  ~CFileMapping();
  CFileMapping(const CFileMapping&) = delete;
  CFileMapping& operator=(const CFileMapping&) = delete;

  // flags 0: opens an existing file for reading and maps it whole (size 0) or its first size
  // bytes. Returns the view, or null when the file cannot be opened or mapped; an empty file
  // cannot be mapped. Other flags are refused. The name is accepted and unused. Another
  // process may still write the file meanwhile (Linux has no share modes).
  const void* MapFile(const char* path, int flags, const char* mappingName = nullptr, u64 size = 0);
  // Unmaps and closes; MapFile may be called again afterwards.
  void Close();

  const void* GetView() const { return m_view; }
  u64 GetSize() const { return m_size; }

 private:
  void* m_view = nullptr;
  u64 m_size = 0;
};
