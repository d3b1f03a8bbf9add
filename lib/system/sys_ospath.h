// Checks a path of the Sys API before it reaches the kernel: drive and UNC forms fail. A "\" is an
// ordinary byte of a name here.
#pragma once

#include "lib/system/sys_types.h"

#include <string>

class SysOsPath {
 public:
  // On a refused path ok() is false, the last error is set and error() tells the SysError.
  explicit SysOsPath(const char* path);
  bool ok() const { return m_error == SYS_OK; }
  SysError error() const { return m_error; }
  const char* c_str() const { return m_path; }

 private:
  const char* m_path = "";
  SysError m_error = SYS_OK;
};

// Sets the last error from err (for path) and returns the matching SysError.
SysError SysFail(int err, const char* path = nullptr);
