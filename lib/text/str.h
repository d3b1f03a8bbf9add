// Narrow and wide string functions: bounded copies, search, wildcard matching, tokens.
//
// Conventions: a length of -1 means "up to the terminating NUL"; buffer sizes count the
// terminator; bounded copies never overrun and always terminate (a size of 0 writes nothing).
// Narrow text is UTF-8: "?" in a pattern matches one UTF-8 sequence, letter-case folding is
// ASCII only, and no copy cuts inside a UTF-8 sequence when it has to shorten a text.
#pragma once

#include "platform/win_types.h"

#include <string_view>

// Character classes, indexed by the byte.
enum : u32 {
  CC_DIGIT = 0x1,
  CC_UPPER = 0x2,
  CC_LOWER = 0x4,
  CC_HEXLETTER = 0x8,  // a-f, A-F
  CC_UNDERSCORE = 0x10,  // "_": mask 31 spans identifier-like words
  CC_TAB = 0x20,
  CC_CRLF = 0x40,
  CC_BLANK = 0x80,
  CC_BACKSLASH = 0x100000,
  CC_SLASH = 0x200000,
  CC_COLON = 0x400000,
  CC_STAR = 0x800000,
  CC_QUESTION = 0x1000000,
  CC_MINUS = 0x2000000,
  CC_NUL = 0x80000000,
};
extern const u32 CharClassTable[256];

// Copies src into dst (size bytes, terminator included); returns the length copied. A source
// that does not fit is cut at the last whole UTF-8 sequence. A null src gives an empty text.
int StrCopyA(char* dst, const char* src, int size);
// Copies at most n bytes of src (less when its NUL comes first; n need not lie on a sequence
// boundary, the caller chose it); returns the number copied.
int StrCopyNA(char* dst, const char* src, int size, int n);
// UTF-16 twin of StrCopyNA (size and n in code units); a surrogate pair is never split by size.
int StrCopyNW(WCHAR* dst, const WCHAR* src, int size, int n);
// Appends src to target within size; returns the total length. A target without a NUL within
// size is terminated (cut) at size - 1 and nothing is appended.
int StrCatA(char* target, const char* src, int size);

// Offset of pattern in text, -1 when absent (or either is null); an empty pattern is found at 0.
// The NoCase forms fold ASCII letters only.
int StrFindA(const char* text, const char* pattern);
int StrFindNoCaseA(const char* text, const char* pattern);
// The same within the first n characters of text (n < 0: all); the match must end within them.
int StrFindNoCaseNA(const char* text, const char* pattern, int n);
// Counted form (a length below 0 runs to the NUL); the texts may hold NUL bytes.
int StrFindBytesNoCaseA(const char* text, const char* pattern, int textLength, int patternLength);
// Whether a and b are one text but for the letter case of ASCII letters.
bool StrEqualsNoCase(std::string_view a, std::string_view b);
// Whether text begins (ends) with part, the letter case of ASCII letters ignored.
bool StrStartsWithNoCase(std::string_view text, std::string_view head);
bool StrEndsWithNoCase(std::string_view text, std::string_view tail);
// Offset of ch, or the text's length when absent.
int StrFindCharA(const char* text, char ch);
// Offset just behind the first ch, or the text's length when absent.
int StrSkipPastCharA(const char* text, char ch);

// Leading run of characters whose class bits meet (or do not meet) the mask; the terminating
// NUL always ends the run, whatever the mask.
int StrSpanClassA(const char* text, u32 classMask);
int StrSpanNotClassA(const char* text, u32 classMask);
// The run that ends at textEnd (exclusive), scanning backwards at most maxCount characters;
// every byte is tested by its class, a NUL too.
int StrSpanClassReverseA(const char* textEnd, u32 classMask, int maxCount);
int StrSpanNotClassReverseA(const char* textEnd, u32 classMask, int maxCount);

// Wildcard matching. "*" matches any run of characters, "?" exactly one character, where a
// character is one UTF-8 sequence (a malformed byte counts as one character). Any other
// character matches itself; with STR_MATCH_NOCASE ASCII letters match either case (other letters
// only themselves). The matcher keeps a set of pattern positions, so no pattern makes it slow.
enum : int {
  STR_MATCH_NOCASE = 1,    // ASCII letters compared without case
  STR_MATCH_STARDOT = 2,   // a trailing "*.*" stands for "*" (so "*.*" also matches "README")
  STR_MATCH_LEADING = 4,   // leading-part mode: result is the matched length (see below)
};
// Returns 0 when the whole name matches the pattern, 1 otherwise.
// With STR_MATCH_LEADING the pattern is matched against the leading parts of the name that end
// before a "/" or at the name's end (a "\" is an ordinary character of a name here), and the result is the length of the shortest of
// them that the pattern matches as a whole, or nameLength + 1 when none does. So a pattern names
// a folder and everything below it: "tmp*" on "tmpdir/a/b" gives 6, "a*" on "ab/cd" gives 2,
// "*/obj" on "x/y/obj/z" gives 7 ("*" may cover "/" here), and "tmp" on "tmpdir/a" gives no match
// (9), because a folder whose name merely begins with the pattern is another folder.
// Flags 5 (no case, leading) are what the excluded-folder test uses.
int StrMatchPatternA(const char* pattern, int patternLength, const char* name, int nameLength, int flags);
// As StrMatchPatternA for paths: "*" and "?" never match "/" or "\", and a separator in the
// pattern matches either separator in the name. Two backslash forms that the token reader leaves
// in quoted tokens have their own meaning: \" (or \') matches that quote character, and \.
// matches a run of blanks and tabs, possibly empty (\.define matches "define" after any indent).
// With STR_MATCH_LEADING the result is the length of the shortest leading part of the name that
// the pattern matches, or nameLength + 1 when none does; a "*" at the end of the pattern then
// extends that part over the following run of word characters (ASCII letters and digits,
// ".", "-", "_", "+" and non-ASCII characters; so never over a separator, blank, quote, ";", "<"
// or a line break). This lets leading-part matches be chained token by token over a line,
// each pattern starting where the one before ended:
//   line:  #define VERSION "1.2.3"
//   *VERSION \"   matches  #define VERSION "   (17; an inner "*" takes the shortest run)
//   *             matches  1.2.3               (5; a trailing "*" takes the word run)
//   \"            matches  "                   (1)
// A trailing "*" on a rest without word characters gives 0.
int StrMatchPathPatternA(const char* pattern, int patternLength, const char* name, int nameLength, int flags);
// 1-based position of the first pattern of the separated list that matches the name (blanks and
// tabs around each pattern are ignored; an empty position never matches but keeps its number),
// -1 when none matches, 0 for an empty list. mode is passed to StrMatchPatternA as its flags.
int StrMatchPatternListA(const char* name, int nameLength, const char* patternList, int mode, char separator);
// 0 when text matches pattern ("*", "?"), case-sensitive.
int StrWildcardCompareA(const char* text, const char* pattern);
int StrWildcardCompareW(const WCHAR* text, const WCHAR* pattern);

// Reads one token of text (at most maxLength bytes of it, -1 = up to the NUL): skips blanks and
// tabs; a token opened by the quote character runs to the closing quote, where the escape
// character keeps the next character from closing it and both stay in the copy (so the token is
// the text between the quotes exactly as written; when escape equals quote, a doubled quote is
// the escaped form); an unclosed quote runs to the end. Without a quote the token ends before a
// control character, a blank, "," or ";", which is not consumed. A quote or escape of '\0' is
// none. The token is copied into target (null: not copied) bounded and terminated as by
// StrCopyNA. Returns the characters consumed: leading blanks, the opening and closing quote
// included.
int StrReadTokenA(char* target, const char* text, int targetSize, char escape, char quote, int maxLength);
// Copies src without leading and trailing blanks, tabs and line breaks (dst may equal src);
// returns the length. dst must hold the trimmed text.
int StrTrimA(char* dst, const char* src);
// Copies src into dst (size bytes) with C-style escapes resolved: \n \r \t \a \b \f \v, \\ \"
// \' \?, \x with one or two hex digits, \ and one to three octal digits. Unescaped double quotes
// are dropped (they only group). An escape that yields a NUL is dropped; an unknown escape, or
// a backslash at the end, stays as written. Bounded like StrCopyA; returns the length.
int StrUnescapeA(char* dst, const char* src, int size);
// Replaces every occurrence of oldText by newText, left to right and not within text already
// put in; a result longer than size - 1 is cut (at a whole UTF-8 sequence). An empty oldText
// changes nothing. Returns the new length.
int StrReplaceAllA(char* buffer, const char* oldText, const char* newText, int size);
// Replaces count characters at position by replacement (replacementLength -1 = up to its NUL);
// position and count are clamped to the text; the result is cut to size - 1 like
// StrReplaceAllA. Returns the new length.
int StrReplaceRangeA(char* buffer, int position, int count, const char* replacement, int size,
                     int replacementLength);
