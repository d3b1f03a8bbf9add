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
