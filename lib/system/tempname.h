// SysTempName: a new, unique file created for the caller, so that no other process can take its name.
#pragma once

// Builds base (null or empty: the temporary folder, $TMPDIR or /tmp) + "/" + the parts joined,
// where every "?" becomes one unique character and every "*" a run of eight; a name without
// either gets eight unique characters before its extension when it is taken. The file is
// created empty (O_EXCL, mode 0600) before the name is returned. Returns the length, or a
// SysError (SYS_ERR_NAME_TOO_LONG when the name does not fit the buffer).
int SysTempName(char* buffer, int size, const char* base, const char* part, const char* part2 = nullptr,
                const char* part3 = nullptr);
