// The program's fault seam of replaces: no step ever fails on purpose, a flush is an fsync.
#include "lib/system/sys_replace_seam.h"

#include <unistd.h>

#include <cerrno>

__attribute__((weak)) int SysReplaceFault(SysReplaceStep) { return 0; }

__attribute__((weak)) int SysReplaceSync(int fd, SysReplaceStep) { return ::fsync(fd) == 0 ? 0 : errno; }
