// Marks of the clusters one walk of a cluster chain has met: a cluster met twice is a loop.
#pragma once

#include "platform/win_types.h"

#include <vector>

// One set of marks serves every walk of a volume (walks do not nest); a walk clears what it
// marked when it ends, so that the next one starts from clear marks without touching the rest.
class ChainWalk {
 public:
  // count: the cluster numbers the walk may meet lie below it.
  ChainWalk(std::vector<u64>& marks, u64 count) : m_marks(marks) {
    if (m_marks.size() < (count + 63) / 64) m_marks.assign((count + 63) / 64, 0);
  }
  ~ChainWalk() {
    for (const u32 c : m_seen) m_marks[c / 64] &= ~(u64{1} << (c % 64));
  }
  ChainWalk(const ChainWalk&) = delete;
  ChainWalk& operator=(const ChainWalk&) = delete;

  // False when the walk met c before.
  bool Visit(u32 c) {
    u64& word = m_marks[c / 64];
    const u64 bit = u64{1} << (c % 64);
    if (word & bit) return false;
    word |= bit;
    m_seen.push_back(c);
    return true;
  }
  std::size_t Length() const { return m_seen.size(); }

 private:
  std::vector<u64>& m_marks;
  std::vector<u32> m_seen;
};
