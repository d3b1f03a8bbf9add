// Reading and writing the special-settings texts through the workers' own readers and writers.
#include "app/settings_forms.h"

#include "app/dialog_texts.h"
#include "jobs/job_model.h"
#include "jobs/workers/puffer_cell.h"
#include "jobs/workers/shrink_rules.h"
#include "jobs/workers/zip_worker.h"
#include "lib/text/fmt.h"
#include "lib/text/num.h"

namespace kpw::settings {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Whether text begins with a whole number as NumParseIntA reads one: blanks, a sign, a digit.
bool HasLeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

i64 NumberOf(std::string_view text) { return NumParseIntA(std::string(text).c_str()); }

int CharCount(std::string_view text) {
  int count = 0;
  for (const unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < word.size() && lower(text[i + k]) == lower(word[k])) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

}  // namespace

WhenPart ReadWhen(std::string_view text, bool anyLeadingStar) {
  WhenPart part;
  if (const std::size_t span = ExtraHostSpan(text, &part.host)) {
    part.when = EXTRA_WHEN_HOST;
    part.rest = text.substr(span);
  } else if (anyLeadingStar ? (!text.empty() && text[0] == kExtraTargetSign) : ExtraTargetSignSpan(text) > 0) {
    part.when = EXTRA_WHEN_TARGET_EXISTS;
    part.rest = text.substr(1);
  } else {
    part.rest = text;
  }
  return part;
}

std::vector<std::string> ReadLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find(kExtraSeparator, pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) lines.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

CopyForm ReadCopyForm(std::string_view cell) {
  const WhenPart part = ReadWhen(cell);
  return {part.when, part.host, ReadLines(part.rest)};
}

std::string WriteCopyForm(const CopyForm& form) { return ExtraHeadFormat(form.when, form.host, form.folders); }

SynchForm ReadSynchForm(std::string_view cell) {
  const WhenPart part = ReadWhen(cell, true);
  return {part.when, part.host,
          part.when == EXTRA_WHEN_HOST && !part.rest.empty() && part.rest[0] == kExtraTargetSign};
}

std::string WriteSynchForm(const SynchForm& form) {
  if (form.when == EXTRA_WHEN_HOST && form.quietWhenMissing)
    return ExtraHeadFormat(form.when, form.host, {std::string(1, kExtraTargetSign)});
  return ExtraHeadFormat(form.when, form.host, {});
}

PufferForm ReadPufferForm(std::string_view cell) {
  const std::size_t colon = cell.find(':');
  if (colon == std::string_view::npos) return {std::string(cell), {}};
  return {std::string(cell.substr(0, colon)), std::string(cell.substr(colon + 1))};
}

std::string WritePufferForm(const PufferForm& form) { return PufferFormatExtra(form.host, form.size); }

ZipForm ReadZipForm(std::string_view cell) {
  const ZipExtra extra = ZipSplitExtra(cell);
  return {std::string(extra.folder), ReadLines(extra.excluded)};
}

std::string WriteZipForm(const ZipForm& form) { return ZipFormatExtra(form.subfolder, form.folders); }

ShrinkForm ReadShrinkForm(std::string_view cell, bool sizeForm) {
  ShrinkForm form;
  const ExtraNumbers list = ExtraParseNumbers(cell);
  const std::vector<i64>& n = list.numbers;
  for (std::size_t i = 0; i < n.size(); i += 2) {
    PairLine line{std::to_string(n[i]), i + 1 < n.size() ? std::to_string(n[i + 1]) : std::string()};
    if (sizeForm && n[i] == 0) line.first += texts::kDelMark;
    form.pairs.push_back(std::move(line));
  }
  const WhenPart part = ReadWhen(cell.substr(list.restOffset));
  form.when = part.when;
  form.host = part.host;
  form.folders = ReadLines(part.rest);
  return form;
}

std::string WriteShrinkForm(const ShrinkForm& form) {
  std::vector<const PairLine*> given;
  for (const PairLine& line : form.pairs)
    if (!line.first.empty()) given.push_back(&line);
  std::vector<i64> numbers;
  for (std::size_t i = 0; i < given.size(); ++i) {
    numbers.push_back(NumberOf(given[i]->first));
    if (!given[i]->second.empty()) numbers.push_back(NumberOf(given[i]->second));
    else if (i + 1 < given.size()) numbers.push_back(0);
  }
  std::string text = ExtraFormatNumbers(numbers);
  const std::string rest = ExtraHeadFormat(form.when, form.host, form.folders);
  if (!rest.empty()) text += kExtraSeparator + rest;
  return text;
}

std::string MarkPairFirst(std::string_view text, bool sizeForm) {
  std::string out(text);
  if (sizeForm && HasLeadingNumber(text) && NumberOf(text) == 0 && !ContainsNoCase(text, "<DEL>"))
    out += texts::kDelMark;
  return out;
}

int ComparePairFirst(std::string_view a, std::string_view b) {
  const i64 x = NumberOf(a), y = NumberOf(b);
  return (x > y) - (x < y);
}

std::vector<std::string> ReadListForm(std::string_view cell) { return ReadLines(cell); }

std::string WriteListForm(const std::vector<std::string>& lines) { return ExtraListFormat(lines); }

std::optional<std::string> CheckCellLength(std::string_view text, std::string_view original) {
  if (text == original || JobCellFits(text)) return std::nullopt;
  return FmtString(texts::kSettingsTooLongFormat, CharCount(text), kJobCellMaxChars);
}

std::optional<std::string> CheckChars(std::string_view value, std::string_view forbidden, std::string_view original) {
  if (value == original) return std::nullopt;
  const std::size_t at = value.find_first_of(forbidden);
  if (at == std::string_view::npos) return std::nullopt;
  return FmtString(texts::kCharNotAllowedFormat, std::string(1, value[at]).c_str());
}

std::optional<std::string> CheckRoom(std::string_view size, std::string_view original) {
  if (size == original) return std::nullopt;
  // The worker's own reading decides, so the dialog refuses exactly what the row would.
  if (PufferSplitExtra(PufferFormatExtra("", size)).roomValid) return std::nullopt;
  return std::string(texts::kRoomNotNumber);
}

std::optional<std::string> CheckPairCell(std::string_view cell) {
  if (cell.empty() || HasLeadingNumber(cell)) return std::nullopt;
  return FmtString(texts::kPairNotNumberFormat, std::string(cell).c_str());
}

ScheduleFields ScheduleFieldsOf(u32 word, i32 count) {
  ScheduleFields fields;
  fields.unit = static_cast<int>(word & SCHED_UNIT_MASK);
  fields.interval = static_cast<int>(static_cast<u32>(count) & 0x3FF);
  for (int i = 0; i < 4; ++i) fields.options[i] = (word & kScheduleOptionBits[i]) ? 1 : 0;
  return fields;
}

u32 ScheduleWordOf(const ScheduleFields& fields) {
  u32 word = static_cast<u32>(fields.unit) & SCHED_UNIT_MASK;
  for (int i = 0; i < 4; ++i)
    if (fields.options[i]) word |= kScheduleOptionBits[i];
  return word;
}

std::string LastRunText(u32 lastRun) {
  if (lastRun != 0 && lastRun != 0xFFFFFFFFu) {
    char buffer[64];
    if (NumFormatTimeA(buffer, lastRun, 31, sizeof buffer) > 0) return buffer;
  }
  return texts::kNeverRun;
}

}  // namespace kpw::settings
