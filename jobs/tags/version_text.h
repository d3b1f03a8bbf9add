// A version number read out of a text file by three wildcard tokens.
#pragma once

#include <string>

// Reads the version out of a text file such as a header with `#define VERSION "1.2.3"`.
// tokenText holds up to three tokens (blanks between them; quoted with '"', '\' keeps the next
// character from closing a quote; at most 128 characters each): the first matches the start of a
// line, the second the version right after it, the third what follows (empty: "*"). Each is
// matched as the leading part of the rest of the line (StrMatchPathPatternA, letter case ignored,
// leading-part mode); "\." matches an indent and a trailing "*" a run of word characters.
// A first token "\.word" considers only lines that begin with word after their indent, "*word"
// only lines that contain word (letter case ignored). Lines count up to 1023 characters; the rest
// of a longer line is not looked at. The first line whose first and second tokens match non-empty
// parts and whose third token matches gives the version: the part that the second token matched.
//
// Into buffer (emptied first, cut to its size at a whole UTF-8 character). Returns the characters
// written, or -1 when the file cannot be opened or no line qualifies.
int ReadVersionText(const char* filePath, const char* tokenText, char* buffer, int bufferSize);

// The same without a buffer limit: true with the whole version text in *version.
bool ReadVersionTextFull(const char* filePath, const char* tokenText, std::string* version);
