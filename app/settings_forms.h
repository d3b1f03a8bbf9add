// The text forms that the special-settings dialogs read and write, and the schedule dialog's fields.
#pragma once

#include "jobs/job_extra.h"
#include "platform/win_types.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kpw::settings {

// ---- the pieces

// The when-part of the dialogs with the radio group, read as the workers read the head: a host
// restriction gives the host form and the rest behind it; the existing-target sign ("*" alone or
// before ";"; for "Synch" any leading "*") the target form with the rest behind the "*"; anything
// else the form "always" with the whole text. A "*" behind the host shows in the folder list,
// and is written back there unchanged.
struct WhenPart {
  int when = EXTRA_WHEN_ALWAYS;
  std::string host;
  std::string_view rest;
};
WhenPart ReadWhen(std::string_view text, bool anyLeadingStar = false);
// The lines of a folder or pattern list: the non-empty pieces between ";", whole.
std::vector<std::string> ReadLines(std::string_view text);

// ---- one form per dialog

// "Copy", "Copy Del", "Copy File", and "Zip"/"Zip Add" rows that are no archive's.
struct CopyForm {
  int when = EXTRA_WHEN_ALWAYS;
  std::string host;
  std::vector<std::string> folders;
};
CopyForm ReadCopyForm(std::string_view cell);
std::string WriteCopyForm(const CopyForm& form);

// "Synch": only the when-part is written. A host restriction followed by "*" (a missing side
// ends the row quietly) keeps that "*" while the host form stays chosen.
struct SynchForm {
  int when = EXTRA_WHEN_ALWAYS;
  std::string host;
  bool quietWhenMissing = false;
};
SynchForm ReadSynchForm(std::string_view cell);
std::string WriteSynchForm(const SynchForm& form);

// "Puffer": host before the first ":", size behind it (empty without ":").
struct PufferForm {
  std::string host;
  std::string size;
};
PufferForm ReadPufferForm(std::string_view cell);
std::string WritePufferForm(const PufferForm& form);

// "Zip"/"Zip Add" into an archive: the folder inside it, then the excluded folders.
struct ZipForm {
  std::string subfolder;
  std::vector<std::string> folders;
};
ZipForm ReadZipForm(std::string_view cell);
std::string WriteZipForm(const ZipForm& form);

// "Shrink" (thinning form) and "Kopiwart" (size form): the number list shown in pairs of cells,
// then the when-part and the excluded folders. A 0 that begins a pair of the size form shows as
// "0  <DEL>". A number without a partner at the end shows with an empty second cell and is
// written back alone, so that an odd list keeps its meaning.
struct PairLine {
  std::string first;
  std::string second;
  bool operator==(const PairLine&) const = default;
};
struct ShrinkForm {
  std::vector<PairLine> pairs;
  int when = EXTRA_WHEN_ALWAYS;
  std::string host;
  std::vector<std::string> folders;
};
ShrinkForm ReadShrinkForm(std::string_view cell, bool sizeForm);
// Lines with an empty first cell are left out; an empty second cell is 0, except that of the last
// pair, which is left out.
std::string WriteShrinkForm(const ShrinkForm& form);
// The first cell of a pair after an edit: a 0 of the size form gets "  <DEL>" unless it has it.
std::string MarkPairFirst(std::string_view text, bool sizeForm);
// The order of pair lines by the numbers their first cells begin with.
int ComparePairFirst(std::string_view a, std::string_view b);

// The filter editor and the excluded-folder lists of "Ftp", "Ftp Del", "Update" and unpacking:
// the lines joined by ";".
std::vector<std::string> ReadListForm(std::string_view cell);
std::string WriteListForm(const std::vector<std::string>& lines);

// ---- refusals: a German text, or nothing when the value may be written

// A result longer than a cell holds (kJobCellMaxChars characters), unless it is the cell as it
// was opened.
std::optional<std::string> CheckCellLength(std::string_view text, std::string_view original);
// A value that holds one of the characters of forbidden (which would end it early when the
// worker reads the cell), unless it is the value as it was opened.
std::optional<std::string> CheckChars(std::string_view value, std::string_view forbidden, std::string_view original);
// A buffer room that the "Puffer" worker would refuse, unless it is the room as it was opened.
std::optional<std::string> CheckRoom(std::string_view size, std::string_view original);
// A pair cell that does not begin with a whole number (blanks and a sign may stand before it).
std::optional<std::string> CheckPairCell(std::string_view cell);

// ---- the schedule dialog

// Option bits of the four check boxes, in the order of their fields.
inline constexpr u32 kScheduleOptionBits[4] = {SCHED_NEWER_ONLY, SCHED_NEVER_OVERWRITE, SCHED_KEEP_READONLY,
                                                SCHED_NO_STORE_TIME};
inline constexpr int kIntervalMin = 0;
inline constexpr int kIntervalMax = 999;  // what the three characters of the edit can hold
inline constexpr int kIntervalMaxChars = 3;

struct ScheduleFields {
  int unit = 0;      // 0 always, 1 days, 2 weeks, 3 months
  int interval = 0;  // the count's low 10 bits
  int options[4] = {};
};
ScheduleFields ScheduleFieldsOf(u32 word, i32 count);
// The unit in the low byte and the bits of the checked options; other bits of a word are dropped.
u32 ScheduleWordOf(const ScheduleFields& fields);
// The last-run time as local time ("Mo 05.Jan.2026 14:30"), or "noch nie" for 0 and -1.
std::string LastRunText(u32 lastRun);

}  // namespace kpw::settings
