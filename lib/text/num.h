// Number and date text: integer parsing and formatting, time formatting and parsing.
#pragma once

#include "platform/win_types.h"

#include <ctime>

// Skips leading blanks, accepts a sign and the prefixes "0x", "0d", "0o", "0b", else decimal;
// stops at the first character that does not belong to the number; no digit gives 0.
i32 NumParseIntA(const char* text, int reserved = 0, int flags = 0);

// flags 0: signed decimal; flags 1: "0x" and upper-case hexadecimal without leading zeros.
// The buffer must hold 16 bytes. Returns the length.
int NumFormatIntA(i32 value, char* buffer, int flags);

// Formats a time (seconds since 1970) as local time by the flag bits (see num.cpp for the bits;
// 31 gives "Mo 07.Dez.2026 18:05"). size is the buffer size. Returns the length.
int NumFormatTimeA(char* buffer, i64 time, u32 flags, int size = 64);

// Date and time text to seconds since 1970 (see num.cpp for the flags).
i64 NumTextToTimeA(const char* text, int length, u32 flags);
// The same for a counted text of at most 64 characters; consumed receives the characters used.
// Flags 0x100006: the three "ls -l" date forms.
i64 NumTextToTimeNA(const char* text, u32 flags, int length, int* consumed);

// Parses up to 63 characters of date and time text into out under the option word; returns the
// bit set of the parts found (option 0x9406: DOS listing dates; 0x7C all found).
u32 DateParseTextNA(const char* text, std::tm* out, u32 options, int length);
