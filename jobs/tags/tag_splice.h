// Putting a tag's replacement into its text: the blank rule and the bounded copy.
#pragma once

#include <string_view>

namespace kpw::tags {

// Whether a replacement gets a blank after it, by the character that follows the tag: not
// before ".", "_", "0" or a blank, and not at the end of the text (a trailing blank would stay
// in a Linux file name); before anything else, "/" and "\" included, it does.
bool NeedsBlankAfter(char next);

// destination = text[0, tagStart) + replacement (+ blank by the rule) + text[tagEnd, end).
// Returns the new length, or -1 (last error 206) when it does not fit destinationSize, leaving
// the destination untouched. text may be the destination itself.
int Splice(const char* text, int tagStart, int tagEnd, std::string_view replacement, bool blankRule,
           char* destination, int destinationSize);

// Copies text unchanged when it fits; else -1 (last error 206).
int CopyUnchanged(const char* text, char* destination, int destinationSize);

}  // namespace kpw::tags
