// Path text functions: separators, folder and name parts, extensions, joining and normalising.
//
// "/" is the separator. A "\" is an ordinary byte of a name: text a user writes has its "\"
// turned into "/" where it is taken (the runner's cells), never here. A ":" counts only in a
// leading drive form "X:", so Linux names such as "12:30.log" stay whole. A length below 0 means
// "up to the terminating NUL"; buffer sizes count the terminator.
#pragma once

#include "platform/win_types.h"

#include <string>
#include <string_view>
#include <vector>

// True for the separator "/".
inline bool SysIsSlash(char ch) { return ch == '/'; }
// Length of a leading drive form "X:" (2), else 0.
int SysPathDriveLen(const char* path, int length = -1);

// Appends "/" unless the text is empty or already ends in a separator; returns the new length.
// The buffer must have room for one more character and the NUL.
int SysPathAddSlash(char* buffer, int length);
// Appends ch unless the text already ends in a separator; returns the new length.
int SysPathAddChar(char ch, char* path, int length);
// Removes one trailing separator; a lone root "/" stays. Returns the new length.
int SysPathCutSlash(char* path, int length);
// Length of the folder part: the index after the last separator (0 when there is none).
int SysPathDirLen(int length, const char* path);
// The part after the last separator (the whole path when there is none); its length in outLength.
const char* SysPathName(int length, const char* path, int* outLength = nullptr);
// Cuts the last component in place, keeping the separator of a root ("/a" gives "/", "X:/a"
// gives "X:/"); returns the new length.
int SysPathCutName(int length, char* path);
// The extension after the last "." of the file name, or the end of the text when there is none.
const char* SysPathExt(int length, const char* path, int flags = 0);
// 1-based position of the path's extension in a ";"-separated list ("zip;rar", ".zip" and
// "*.zip" alike), letter case ignored; 0 when absent.
int SysPathExtInList(const char* path, const char* list, int length = -1);
// The file name without its extension into target; returns its length (cut to the size).
int SysPathBaseName(char* target, int length, const char* path, int size);
// Copies path into target with its file-name part replaced by newName (target may be path);
// a path ending in a separator gets the name appended. Returns the length, -1 when too long.
int SysPathSetName(int pathLength, char* target, const char* path, const char* newName, int targetSize,
                   int newNameLength = -1);
// Turns every "\" into "/" when separator is "/" or 0, else every "/" into "\"; returns the length.
int SysPathSlashes(char* path, int separator);

// The one rule by which "." and ".." are resolved by name. One component into the components so
// far: "" and "." add nothing; ".." takes the last one away, but never one of the first floor nor
// a ".." kept before it; a ".." that takes nothing away is kept with keepUp, else dropped; any
// other component is added.
void SysPathDotStep(std::vector<std::string_view>& parts, std::string_view part, std::size_t floor = 0,
                    bool keepUp = false);

// How SysPathDots reads and writes a path; the rule is SysPathDotStep's.
enum : u32 {
  SYS_DOTS_FROM_ROOT = 0x1,  // the result is absolute ("/" at least): ".." never climbs above the root
  SYS_DOTS_BACKSLASH = 0x2,  // "\" separates as "/" does (text a user wrote)
  SYS_DOTS_KEEP_UP = 0x4,    // a relative path keeps the ".." that climb above where it starts
  SYS_DOTS_EMPTY_DOT = 0x8,  // a relative path that comes to nothing is "." (else "")
};
// The components of path, "." and ".." resolved.
std::vector<std::string_view> SysPathDotParts(std::string_view path, u32 flags);
// path with "." and ".." resolved, repeated and trailing separators dropped and "/" between the
// components. Without SYS_DOTS_FROM_ROOT a path beginning with a separator stays absolute and any
// other stays relative.
std::string SysPathDots(std::string_view path, u32 flags);

// Copies path resolving "." and ".." ("/.." stays "/"; a relative path keeps leading ".."
// components); -1 when the buffer is too small.
int SysPathNormalize(char* dst, const char* path, int size);
// Joins base and name with "/". A name with a drive form, a "//" head or a leading separator
// replaces the base. "." and ".." are resolved without climbing above the first levels
// components. Returns the length, -1 when the result does not fit.
int SysPathJoin(char* dst, const char* base, const char* name, int size, int levels);
// The path of target relative to the folder base, beginning with a separator and with one ".."
// per level to climb ("" when both are the same folder). Both must be absolute, or both
// relative; at least minShared leading components must be shared. -1 when impossible or too long.
int SysPathRelative(char* dst, const char* base, const char* target, int size, int minShared);

enum : int {
  SYS_PATH_FULL_A = 1,  // make a a full path first
  SYS_PATH_FULL_B = 2,  // make b a full path first
  SYS_PATH_NOCASE = 4,  // accepted for callers' sake; paths compare exactly here
};
// 0 when the two paths name the same place (separators and "."/".." resolved, a trailing separator
// ignored), else the sign of the first difference. Letter case always counts.
int SysPathCompare(const char* a, const char* b, int flags);

// The full path (from the working folder) of the folder that holds path, with a trailing "/";
// returns the length, 0 when it does not fit.
int SysFullDir(char* target, const char* path, int size);

// The std::string forms.
// The folder part of a path (up to and with its last separator).
void SysStrDir(std::string& out, const char* path);
// Appends ch unless the text ends in a separator (an empty text stays empty).
void SysStrAddSlash(std::string& path, char ch = '/');
// Removes one trailing separator; a lone root "/" stays.
void SysStrCutSlash(std::string& path);
