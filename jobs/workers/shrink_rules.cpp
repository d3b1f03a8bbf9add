// Thinning out a series of dated copies: the zones of the number list and which copies go.
#include "jobs/workers/shrink_rules.h"

#include "lib/text/num.h"

#include <algorithm>
#include <string>

namespace {

constexpr std::size_t kMaxNumbers = 9;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Length of a number item at text[pos] (an optional sign, a digit, then letters and digits, so
// that the prefixes "0x", "0b", "0o" and "0d" stay inside it); 0 when none starts there.
std::size_t NumberSpan(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  if (end < text.size() && (text[end] == '-' || text[end] == '+')) ++end;
  if (end >= text.size() || !IsDigit(text[end])) return 0;
  while (end < text.size() && IsAlnum(text[end])) ++end;
  return end - pos;
}

}  // namespace

ExtraNumbers ExtraParseNumbers(std::string_view cell) {
  std::vector<i64> numbers;
  std::size_t pos = 0;
  bool expectNumber = true;
  for (;;) {
    while (pos < cell.size() && IsBlank(cell[pos])) ++pos;
    if (pos >= cell.size()) break;
    if (expectNumber) {
      if (const std::size_t n = NumberSpan(cell, pos)) {
        const std::string item(cell.substr(pos, n));
        numbers.push_back(NumParseIntA(item.c_str()));
        pos += n;
        expectNumber = false;
        continue;
      }
    }
    if (cell[pos] != ',') break;
    ++pos;
    expectNumber = true;
  }
  if (pos < cell.size() && cell[pos] == ';') ++pos;
  return {std::move(numbers), pos};
}

std::string ExtraFormatNumbers(const std::vector<i64>& numbers) {
  std::string out;
  for (const i64 n : numbers) {
    if (!out.empty()) out += ',';
    out += std::to_string(n);
  }
  return out;
}

ShrinkExtra ShrinkParseExtra(std::string_view cell) {
  ExtraNumbers list = ExtraParseNumbers(cell);
  if (list.numbers.size() > kMaxNumbers) list.numbers.resize(kMaxNumbers);
  ShrinkExtra extra;
  extra.zones = ShrinkZonesFrom(list.numbers);
  extra.restOffset = list.restOffset;
  return extra;
}

ShrinkZones ShrinkZonesFrom(const std::vector<i64>& numbers) {
  std::vector<i64> v = numbers;
  if (v.empty()) v = {7, 28, 28, 84, 84, 365, 365};
  else if (v.size() == 1) v = {v[0], 28, 28};
  else if (v.size() == 2) v.push_back(28);
  else if (v.size() % 2 == 0) v.pop_back();

  ShrinkZones zones;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const i64 value = std::max<i64>(v[i], 1);
    if (i % 2 == 0) {
      i64 spacing = value;
      if (!zones.spacing.empty() && spacing < zones.spacing.back()) spacing = 2 * zones.spacing.back();
      zones.spacing.push_back(spacing);
    } else {
      const i64 threshold = zones.threshold.empty() ? value : std::max(value, zones.threshold.back());
      zones.threshold.push_back(threshold);
    }
  }
  return zones;
}

i64 ShrinkSpacing(const ShrinkZones& zones, i64 age) {
  std::size_t k = 0;
  while (k < zones.threshold.size() && age >= zones.threshold[k]) ++k;
  return zones.spacing[k];
}

bool ShrinkDue(const ShrinkZones& zones, bool haveCopies, i64 newestDay, i64 today) {
  return !haveCopies || newestDay + zones.spacing[0] < today;
}

std::vector<std::size_t> ShrinkSelectDeletions(const std::vector<i64>& ages, bool madeCopy, const ShrinkZones& zones) {
  // Oldest first; copies without a place in time stay out of it.
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < ages.size(); ++i)
    if (ages[i] >= 0) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ages[a] > ages[b]; });

  std::vector<std::size_t> doomed;
  const std::size_t n = order.size();
  if (n <= 2) return doomed;
  const std::size_t shielded = madeCopy ? 1 : 2;  // the youngest ones, at the end of order
  i64 lastKept = ages[order[0]];
  for (std::size_t i = 1; i + shielded < n; ++i) {
    const i64 age = ages[order[i]];
    if (lastKept - age >= ShrinkSpacing(zones, age)) lastKept = age;
    else doomed.push_back(order[i]);
  }
  return doomed;
}
