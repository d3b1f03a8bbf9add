// The program's answers to the test seams: no set creation times, no faults, the system's files.
#include "lib/system/sys_seam_hooks.h"

__attribute__((weak)) SysUtc SysSeamCreationTime(u64, u64) { return 0; }

__attribute__((weak)) bool SysSeamDirFault(const char*) { return false; }

__attribute__((weak)) bool SysSeamForceFallbacks() { return false; }

__attribute__((weak)) void SysSeamCopyProgress(u64) {}

__attribute__((weak)) std::string SysSeamMachineHiveFile(const char* systemFile) { return systemFile; }
