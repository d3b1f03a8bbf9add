// FAT names: checks of long names, short names and their numbered aliases, long-name checksums, code page 850.
#pragma once

#include "platform/win_types.h"

#include <array>
#include <string>
#include <string_view>

using FatShortName = std::array<u8, 11>;

// Lower-case flags of a short entry (its byte 12).
enum : u8 { FAT_CASE_LOWER_BODY = 0x08, FAT_CASE_LOWER_EXT = 0x10 };

// The longest name, in UTF-16 units.
inline constexpr std::size_t FAT_MAX_NAME = 255;

// A byte of a short name as a character, and back (-1 when code page 850 lacks the character).
char16_t FatCp850ToUnicode(u8 byte);
int FatUnicodeToCp850(char16_t c);

// Checks one name of a path and cuts trailing spaces and dots: FAT_OK or FAT_INVALID_NAME (empty,
// only spaces and dots, longer than 255 units, a control character or one of "*:<>?| and 0x7F).
int FatCheckName(std::u16string& name);

// The short entry name of a long name.
struct FatShortForm {
  FatShortName name{};
  u8 caseFlags = 0;
  bool lossy = false;     // characters were changed or dropped: a numbered alias is needed
  bool needsLong = false; // the short name alone does not give the long name back
  u8 bodyLength = 0;      // characters of the body before any alias tail
};
FatShortForm FatMakeShortName(std::u16string_view name);

// The n-th numbered alias (n from 1): "~" and n for n up to 5, a hash of the long name above.
FatShortName FatAliasName(const FatShortForm& form, std::u16string_view longName, int n);

// The checksum that long-name entries carry of their short name.
u8 FatShortNameChecksum(const u8* name11);

// The short name as a listing shows it: "BODY.EXT", 0x05 back to 0xE5, the lower-case flags applied.
std::u16string FatShortNameText(const u8* name11, u8 caseFlags);

// Equality without regard to case (by EncUpcase).
bool FatNamesEqual(std::u16string_view a, std::u16string_view b);
