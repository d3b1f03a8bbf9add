// File-type registration with the desktop (XDG, for the current user), and network shares.
//
// SysRegisterFileType writes a shared-mime-info package $XDG_DATA_HOME/mime/packages/
// <program>-<ext>.xml (default ~/.local/share) that gives the extension the MIME type
// "application/x-<program>-<ext>", the type name as comment and an icon: the icon index n names
// the theme icon "<program>" for 0, else "<program>-<n>". SysRegisterFileVerb writes
// $XDG_DATA_HOME/applications/<program>-<ext>-<verb>.desktop, an entry for that type that runs
// the program: "%1" of the argument text becomes the file (%f); without arguments the file is
// the only argument, which opens it in the window (the verb "Bearbeiten"). The verb "open" also
// becomes the type's default application in $XDG_CONFIG_HOME/mimeapps.list. SysShellRefresh runs
// update-mime-database and update-desktop-database over those folders where they are installed.
// <program> is the executable's file name in lower case.
#pragma once

#include "platform/win_types.h"

BOOL SysRegisterFileType(const char* extension, const char* exePath, int iconIndex, const char* typeName,
                         const void* reserved);
BOOL SysRegisterFileVerb(const char* extension, const char* exePath, const char* verb, const char* arguments);
BOOL SysShellRefresh(const char* extension);

// Shares of a Windows server have no local meaning: SysShareFindFirst always returns 0 with
// error 53 (network path not found); SysShareFindNext delivers nothing (error 18).
HANDLE SysShareFindFirst(const char* server);
BOOL SysShareFindNext(HANDLE search, char* name, int size);
void SysShareFindClose(HANDLE search);
