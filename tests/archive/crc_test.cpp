// CRC-32: known values, and the combine of two parts against one pass over the whole.
#include "archive/crc32.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

TEST(Crc32, KnownValuesAndCombine) {
  EXPECT_EQ(Crc32Update(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(0, "", 0), 0u);
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(Crc32Update(0, fox.data(), fox.size()), 0x414FA339u);
  // In steps of any size, the same.
  u32 crc = 0;
  for (char c : fox) crc = Crc32Update(crc, &c, 1);
  EXPECT_EQ(crc, 0x414FA339u);

  std::mt19937 rng(7);
  std::string data(3 * 1024 * 1024 + 11, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  const u32 whole = Crc32Update(0, data.data(), data.size());
  for (std::size_t split :
       {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{1} << 20, data.size()}) {
    const u32 a = Crc32Update(0, data.data(), split);
    const u32 b = Crc32Update(0, data.data() + split, data.size() - split);
    EXPECT_EQ(Crc32Combine(a, b, data.size() - split), whole) << split;
  }
}
