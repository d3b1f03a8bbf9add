// Tags in job paths: the date, a file's version and numbered generations.
//
// Sizes are the real sizes of the destination buffers. An expansion that does not fit gives -1
// with the last error 206 (ERROR_FILENAME_EXCED_RANGE) and leaves the destination as it was; no
// text is ever cut. Source and destination may be the same buffer.
#pragma once

#include "platform/win_types.h"

// "#D#" at the first "#" becomes the local date of now (seconds since 1970) "YYYY-MM-DD", "#d#"
// the date and the weekday ("2026-12-06 (So)"). A blank follows the date unless the text after the
// tag goes on with ".", "_", "0" or a blank, or ends there. Any other text is copied unchanged.
// Returns the length.
int ExpandDateTag(const char* source, char* destination, int destinationSize, i64 now);

// "#@n#" (form n), "#@#" (form 0) or "#@" with up to three quoted tokens and "#" at the first "#"
// becomes the version of filePath: a form needs a program ("exe", "dll", "sys" or "ocx", letter
// case ignored; see ReadVersionInfo), tokens read it out of a text file (see ReadVersionText).
// Blank rule as for the date. Returns the length; any other text is copied unchanged. A complete
// tag whose version cannot be read gives -1 and leaves the destination as it was.
int ExpandVersionTag(const char* source, char* destination, int destinationSize, const char* filePath);

// "#k#" (k = 1 to 5) becomes k zeros: the path of generation 0. Mode 0 first shifts the existing
// generations up by one (n-1 to n, ..., 0 to 1, never replacing anything) so that generation 0
// is free, and returns the number moved. A mode with bit 31 puts the last k digits of the number
// in the low bits in place of the zeros. Other modes only build the path. Returns 0 or the count;
// -1 when there is no tag, the path does not fit or a rename fails; -2 when all 10^k generations
// exist.
int ExpandChainTag(const char* source, char* destination, int destinationSize, u32 mode);

// Texts of the row failures that tags cause, in the runner's order: head, path, tail.
inline constexpr const char kVersionFailHead[] = "Die Version aus:\n";
inline constexpr const char kVersionFailTail[] = "\nkonnte nicht gelesen werden !";
inline constexpr const char kChainFailHead[] = "Der Kettepfad:\n";
inline constexpr const char kChainFailTail[] = "\nhat zuviele Einträge !";
// For an expansion that does not fit (last error 206).
inline constexpr const char kTagTooLongHead[] = "Der Pfad:\n";
inline constexpr const char kTagTooLongTail[] = "\nwird mit dem eingesetzten Tag zu lang !";
