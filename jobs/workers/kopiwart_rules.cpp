// The number pairs of a "Kopiwart" cell.
#include "jobs/workers/kopiwart_rules.h"

#include "jobs/workers/shrink_rules.h"

#include <algorithm>

namespace {

constexpr std::size_t kMaxNumbers = 16;
constexpr std::size_t kMaxPairsBehindDefault = 7;
constexpr i64 kDefaultDays = 30;

}  // namespace

KopiwartExtra KopiwartParseExtra(std::string_view cell) {
  ExtraNumbers list = ExtraParseNumbers(cell);
  KopiwartExtra extra;
  extra.restOffset = list.restOffset;
  std::vector<i64>& n = list.numbers;
  if (n.size() > kMaxNumbers) n.resize(kMaxNumbers);
  if (n.empty()) {
    extra.pairs = {{0, kDefaultDays}, {64, 4}, {256, 3}, {1024, 2}, {4096, 1}};
    return extra;
  }
  std::vector<KopiwartPair> given;
  for (std::size_t i = 0; i < n.size(); i += 2) given.push_back({n[i], i + 1 < n.size() ? n[i + 1] : 0});
  if (given.front().size != 0) {
    if (given.size() > kMaxPairsBehindDefault) given.resize(kMaxPairsBehindDefault);
    extra.pairs.push_back({0, kDefaultDays});
  }
  for (const KopiwartPair& p : given) {
    KopiwartPair pair = p;
    if (!extra.pairs.empty()) {
      pair.size = std::max(pair.size, extra.pairs.back().size);
      pair.value = std::clamp<i64>(pair.value, 1, 9);
    }
    extra.pairs.push_back(pair);
  }
  return extra;
}

int KopiwartCopiesFor(const std::vector<KopiwartPair>& pairs, u64 size) {
  if (pairs.size() < 2) return 1;
  const i64 kib = static_cast<i64>(std::min<u64>(size / 1024, INT64_MAX));
  std::size_t chosen = 1;
  for (std::size_t i = 1; i < pairs.size(); ++i)
    if (pairs[i].size <= kib) chosen = i;
  return static_cast<int>(pairs[chosen].value);
}

namespace {

bool IsBakTail(std::string_view tail) {
  if (tail.size() != 5 || tail[0] != '.') return false;
  const char* bak = "bak";
  for (int i = 0; i < 3; ++i)
    if ((tail[static_cast<std::size_t>(i) + 1] | 0x20) != bak[i]) return false;
  return tail[4] >= '0' && tail[4] <= '9';
}

}  // namespace

int KopiwartVersionOf(std::string_view name, std::string_view base) {
  if (name == base) return 0;
  if (name.size() != base.size() + 5 || !name.starts_with(base)) return -1;
  const std::string_view tail = name.substr(base.size());
  return IsBakTail(tail) ? tail[4] - '0' + 1 : -1;
}

bool KopiwartSplitVersion(std::string_view name, std::string* base, int* version) {
  if (name.size() <= 5 || !IsBakTail(name.substr(name.size() - 5))) return false;
  if (base) *base = std::string(name.substr(0, name.size() - 5));
  if (version) *version = name.back() - '0' + 1;
  return true;
}

std::string KopiwartVersionName(std::string_view base, int version) {
  std::string name(base);
  if (version > 0) name += std::string(".bak") + static_cast<char>('0' + version - 1);
  return name;
}

std::vector<KopiwartStep> KopiwartPlanRotation(int n, u32 existing) {
  std::vector<KopiwartStep> steps;
  const auto has = [&](int k) { return k < 32 && (existing >> k) & 1u; };
  bool full = true;
  for (int k = 0; k < n; ++k) full = full && has(k);
  const int firstGone = full ? n - 1 : n;
  for (int k = std::max(firstGone, n == 1 ? 1 : 0); k < 32; ++k) {
    if (!has(k)) continue;
    steps.push_back({false, k, k});
    existing &= ~(1u << k);
  }
  if (n == 1) return steps;
  int free = 0;
  while (free < n && has(free)) ++free;
  for (int k = free; k >= 1; --k) steps.push_back({true, k - 1, k});
  return steps;
}

namespace {

i64 ClampDiff(i64 v) { return std::clamp<i64>(v, -0x7000000, 0x7000000); }

i64 SignedDiff(u64 a, u64 b, u64 unit) {
  if (a >= b) return static_cast<i64>(std::min<u64>((a - b) / unit, 0x7000000));
  return -static_cast<i64>(std::min<u64>((b - a) / unit, 0x7000000));
}

}  // namespace

i64 FileTimeDiffSeconds(u64 a, u64 b) { return ClampDiff(SignedDiff(a, b, static_cast<u64>(kFileTimeTicksPerSecond))); }
i64 FileTimeDiffDays(u64 a, u64 b) { return ClampDiff(SignedDiff(a, b, 864'000'000'000ULL)); }

bool KopiwartTimesEqual(i64 a, i64 b) {
  // Unsigned: the distance of any two times, however far apart.
  const u64 d = a > b ? static_cast<u64>(a) - static_cast<u64>(b) : static_cast<u64>(b) - static_cast<u64>(a);
  return d < 3 || (d >= 3558 && d <= 3602);
}
