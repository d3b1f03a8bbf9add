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

// Parts of NumFormatTimeA's text, written in this order. 31 gives "Mo 07.Dez.2026 18:05".
enum : u32 {
  NUMTIME_WEEKDAY = 0x01,  // "So " ... "Sa " (with its blank)
  NUMTIME_TIME = 0x02,     // "HH:MM", after a blank when a date stands before it
  NUMTIME_DAY = 0x04,      // two-digit day and "." ("07.")
  NUMTIME_MONTH = 0x08,    // "Jan." "Feb." "Mär." "Apr." "Mai." "Jun." "Jul." "Aug." "Sep." "Okt." "Nov." "Dez."
  NUMTIME_YEAR = 0x10,     // four-digit year
  NUMTIME_SECONDS = 0x20,  // ":SS" after the minutes (with NUMTIME_TIME)
  NUMTIME_ISO = 0x40,      // the date in numbers, ISO order: "YYYY-" (with NUMTIME_YEAR) and "MM-DD";
                           // NUMTIME_DAY and NUMTIME_MONTH are not used then
};
// The codes of the Version mode's date letters:
//   "d" 0x1C "07.Dez.2026"            "D" 0x1D "Mo 07.Dez.2026" (the default)
//   "i" 0x50 "2026-12-07"             "I" 0x51 "Mo 2026-12-07"
//   "a" 0x72 "2026-12-07 18:05:33"    "A" 0x73 "Mo 2026-12-07 18:05:33"
// (the upper-case letter adds the weekday; the caller trims the blanks).
// Formats a time (seconds since 1970) as local time by the flag bits. size is the buffer size;
// the text is cut to it at a character boundary. Returns the length; 0 for a time that the C
// library cannot convert.
int NumFormatTimeA(char* buffer, i64 time, u32 flags, int size = 64);

// Flags of the date readers.
enum : u32 {
  NTT_UTC = 0x1,           // a text without a zone is UTC (else local time)
  NTT_MONTH_NAMES = 0x2,   // month abbreviations: "Jan" ... "Dec", also "Mär", "Mai", "Okt", "Dez"
  NTT_LS = 0x4,            // the "ls -l" forms "Mon DD HH:MM" and "Mon DD YYYY" (with NTT_MONTH_NAMES)
  NTT_ZONE = 0x100000,     // a signed four-digit zone after the time ("+0100") is read and applied
  NTT_LS_LISTING = 0x100006,
};
// Date and time text to seconds since 1970. Always read: "YYYY-MM-DD" and "DD.MM.YYYY", each with
// an optional time "HH:MM[:SS[.fraction]]" after a blank or "T" (so the full "ls" form
// "2026-12-07 18:05:33.123456789 +0100" with NTT_ZONE). "Mon DD HH:MM" gets this year, or last
// year when that date would lie more than a day in the future; "Mon DD YYYY" is 00:00. Leading
// blanks are skipped; what follows the date is left (consumed tells where it stopped). A text that
// is no date, or an impossible date (31 Apr), gives 0 with consumed 0.
i64 NumTextToTimeA(const char* text, int length, u32 flags);
// The same for a counted text (length < 0: up to the NUL) of which at most 64 characters count.
i64 NumTextToTimeNA(const char* text, u32 flags, int length, int* consumed);
// The same with the current time given, for the year rule.
i64 NumTextToTimeAt(const char* text, u32 flags, int length, int* consumed, i64 now);

// Options of DateParseTextNA.
enum : u32 {
  DATE_MDY = 0x0002,       // numeric dates are month, day, year (US order, as DOS listings write);
                           // else day, month, year; a four-digit first number is always year-month-day
  DATE_YY = 0x0004,        // two-digit years: 00-69 are 2000-2069, 70-99 are 1970-1999
  DATE_AMPM = 0x0400,      // "AM"/"PM" after the time, with or without a blank (12AM is 00 h)
  DATE_TIME = 0x1000,      // a time "H:MM[:SS]" may follow the date
  DATE_TRAILING = 0x8000,  // text after the date and time is ignored (else it makes the result 0)
  DATE_DOS_LISTING = 0x9406,
};
// Result bits of DateParseTextNA.
enum : u32 {
  DATE_GOT_YEAR = 0x04,
  DATE_GOT_MONTH = 0x08,
  DATE_GOT_DAY = 0x10,
  DATE_GOT_HOUR = 0x20,
  DATE_GOT_MINUTE = 0x40,
  DATE_GOT_SECOND = 0x80,
  DATE_GOT_AMPM = 0x100,
  DATE_COMPLETE = 0x7C,  // year, month, day, hour and minute
};
// Parses up to 63 characters of date and time text (length < 0: up to the NUL) into out under the
// option word; returns the bit set of the parts found. Date separators are "-", "/" or "."; an
// impossible date sets none of the date bits, an impossible time none of the time bits. out is
// cleared first (tm_isdst -1); a complete date also gets tm_wday and tm_yday.
u32 DateParseTextNA(const char* text, std::tm* out, u32 options, int length);
