// CProcessLauncher: starts a program (or a script through /bin/sh), optionally waiting for it.
#pragma once

#include "platform/win_types.h"

#include <sys/types.h>

class CProcessLauncher {
 public:
  enum : DWORD {
    PL_NO_INHERIT = 0x20000000,  // the child gets no descriptors but standard input, output and error
    PL_WAIT = 0x80000000,        // wait until the program ends
  };

  CProcessLauncher() = default;
  // A child that is still running is left to run; it is reaped in the background.
  ~CProcessLauncher();
  CProcessLauncher(const CProcessLauncher&) = delete;
  CProcessLauncher& operator=(const CProcessLauncher&) = delete;

  // Kept for callers' sake: there are no windows to show or hide.
  void SetShowWindow(int show) { m_show = show; }

  // Starts program with the null-terminated argument list (without the program itself; null for
  // none). A name without "/" is searched in PATH. A file that is neither a binary nor an
  // executable "#!" script runs through /bin/sh. 1 when started (with PL_WAIT: and ended), 0 on
  // failure with the last error set.
  int Start(const char* program, DWORD flags, const char* const* args);

  pid_t GetPid() const { return m_pid; }
  // Exit code after a wait (128 + signal number for a program ended by a signal); -1 before.
  int GetExitCode() const { return m_exitCode; }

 private:
  pid_t m_pid = 0;
  int m_exitCode = -1;
  int m_show = 0;
  bool m_reaped = false;
};
