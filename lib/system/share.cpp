// Network shares: a Windows server's share list has no local meaning.
#include "lib/system/shell.h"

#include "platform/last_error.h"

HANDLE SysShareFindFirst(const char* /*server*/) {
  SetLastError(ERROR_BAD_NETPATH);
  return nullptr;
}

BOOL SysShareFindNext(HANDLE search, char* name, int size) {
  if (name && size > 0) name[0] = '\0';
  SetLastError(search ? ERROR_NO_MORE_FILES : ERROR_INVALID_HANDLE);
  return FALSE;
}

void SysShareFindClose(HANDLE /*search*/) {}
