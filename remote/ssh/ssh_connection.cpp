// The SSH adapter: single file operations as shell commands.
#include "remote/ssh/ssh_connection.h"

#include "lib/text/enc.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <cstdio>
#include <cstring>
#include <ctime>

// ---- single operations -------------------------------------------------------------------------

CSshUrlConnection::CSshUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user,
                                     const char* password, u32 reserved, u16 port, u32 alternateMode)
    : CCommLibConnection(Half::Ssh, engineHandle, host, user, password, reserved, port, alternateMode) {
  m_urlPrefix = "ssh://";
  m_useHelper = (alternateMode & 1) != 0;
  // Every path goes to the shell on one command line.
  m_pathRules.refused = "\r\n";
}

u32 CSshUrlConnection::ModeOf(u32 attributes) { return UnixMode(attributes) & 0777; }

BOOL CSshUrlConnection::ChangeDir(const char* path) {
  std::string joined, wire;
  if (!EnsureConnected(false) || !Build(path, &joined, &wire)) return FALSE;
  std::string reply;
  const std::string target = wire == "/" ? wire : wire + "/";
  if (RunCommand(m_lsPrefix + "ls -ald " + ShellQuote(target), &reply) < 0) return FALSE;
  if (reply.size() < 10 || reply[0] != 'd') return Fail(ERROR_PATH_NOT_FOUND);
  return EnterDir(joined);
}

BOOL CSshUrlConnection::SetFileTime(const char* path, FILETIME lastWrite) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  const std::time_t seconds = static_cast<std::time_t>(FileTimeToUnix(lastWrite));
  std::tm tm{};
  if (!::gmtime_r(&seconds, &tm)) return Fail(ERROR_INVALID_PARAMETER);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d.%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  // touch reads the stamp in the host's zone: UTC for it.
  return Simple("TZ=UTC0 touch -c -m -t " + std::string(stamp) + " " + ShellQuote(wire) + " && " + m_lsPrefix +
                    "ls -d " + ShellQuote(wire) + " >/dev/null",
                ERROR_ACCESS_DENIED);
}

BOOL CSshUrlConnection::SetAttributes(const char* path, u32 attributes) {
  if (attributes == 0xFFFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", ModeOf(attributes));
  return Simple("chmod " + std::string(mode) + " " + ShellQuote(wire), ERROR_ACCESS_DENIED);
}

BOOL CSshUrlConnection::Rmdir(const char* path) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  return Simple("rmdir " + ShellQuote(wire), ERROR_ACCESS_DENIED, true);
}

BOOL CSshUrlConnection::Mkdir(const char* path) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  return Simple("mkdir " + ShellQuote(wire), ERROR_ACCESS_DENIED, true);
}

BOOL CSshUrlConnection::Remove(const char* path) {
  std::string wire;
  if (!Reach(path, wire)) return FALSE;
  // rm -f never asks, but says nothing of a missing file: ls does.
  const std::string q = ShellQuote(wire);
  return Simple(m_lsPrefix + "ls -d " + q + " >/dev/null && rm -f " + q, ERROR_ACCESS_DENIED);
}

BOOL CSshUrlConnection::Rename(const char* oldPath, const char* newPath) {
  std::string from, to;
  if (!Reach(oldPath, from) || !Build(newPath, nullptr, &to)) return FALSE;
  WIN32_FIND_DATAA record;
  if (!Stat(from, &record)) return Fail(ERROR_FILE_NOT_FOUND);
  if (Stat(to, &record)) return Fail(ERROR_FILE_EXISTS);
  // -n: a target that appears meanwhile is never replaced; -T: never moved into a folder.
  std::string reply;
  if (RunCommand("mv -n -T " + ShellQuote(from) + " " + ShellQuote(to), &reply) < 0) return FALSE;
  const DWORD mapped = MapShellError(reply);
  if (Stat(from, &record)) return Fail(reply.empty() ? ERROR_FILE_EXISTS : mapped ? mapped : ERROR_ACCESS_DENIED);
  if (!Stat(to, &record)) return Fail(mapped ? mapped : ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---- options -----------------------------------------------------------------------------------

BOOL CSshUrlConnection::SetFindData(const void* buffer, int size) {
  if (!Handle()) return Fail(ERROR_INVALID_HANDLE);
  WIN32_FIND_DATAA record;
  if (!TakeFindData(buffer, size, &record)) return FALSE;
  if (record.ftLastWriteTime.dwHighDateTime != 0 && !SetFileTime(record.cFileName, record.ftLastWriteTime))
    return FALSE;
  const u32 attributes = record.dwFileAttributes;
  if (attributes != 0 && attributes != 0xFFFFFFFF &&
      !SetAttributes(record.cFileName, attributes & ~u32{URL_ATTR_NORMAL}))
    return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
