// The file version of a program as text, in the ten forms of the version tags.
#pragma once

#include "platform/win_types.h"

// Reads the fixed file version of a Windows program (PE32 or PE32+ with a version resource) and
// writes it into buffer in a form: 1 "major", 2 "major.minor", 3 "major.minor.third",
// 4 "major.minor.third.fourth", 0 the shortest of 4, 3 and 5 that keeps a non-zero third or
// fourth number, any other form "major.minor" with a two-digit minor ("1.02").
// The buffer is emptied first and the text cut to its size. Returns the characters written, or
// -1 when the file has no readable version (also for ELF and any other kind of file).
// The job-list view forwards its ReadVersionInfo here.
int ReadVersionInfo(const char* filePath, int form, char* buffer, int bufferSize);
