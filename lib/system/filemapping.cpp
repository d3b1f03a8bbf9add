// CFileMapping: mmap of a whole file for reading.
#include "lib/system/filemapping.h"

#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_ospath.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CFileMapping::~CFileMapping() { Close(); }

void CFileMapping::Close() {
  if (m_view) ::munmap(m_view, static_cast<std::size_t>(m_size));
  m_view = nullptr;
  m_size = 0;
}

const void* CFileMapping::MapFile(const char* path, int flags, const char* /*mappingName*/, u64 size) {
  Close();
  if (flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const SysOsPath os(path);
  if (!os.ok()) return nullptr;
  SysFd fd(SysOpenRegular(os.c_str()));
  if (!fd) {
    SysFail(errno, os.c_str());
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const u64 fileSize = static_cast<u64>(st.st_size);
  const u64 length = size == 0 ? fileSize : size;
  if (length == 0 || length > fileSize) {
    // Nothing to map, as Windows refuses a mapping of an empty file.
    SetLastError(length == 0 ? ERROR_FILE_INVALID : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* view = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_PRIVATE, fd.Get(), 0);
  const int err = errno;
  fd.Reset();  // the mapping keeps the file
  if (view == MAP_FAILED) {
    SysFail(err, os.c_str());
    return nullptr;
  }
  m_view = view;
  m_size = length;
  return m_view;
}
