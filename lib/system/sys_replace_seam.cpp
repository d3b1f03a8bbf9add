// The program's fault seam of replaces: no step ever fails on purpose.
#include "lib/system/sys_replace_seam.h"

__attribute__((weak)) int SysReplaceFault(SysReplaceStep) { return 0; }
