// CRC-32 by slicing eight bytes at a time, and the combine of two CRCs over GF(2).
#include "archive/crc32.h"

#include <array>
#include <cstring>

namespace {

constexpr u32 kPoly = 0xEDB88320u;

struct Tables {
  std::array<std::array<u32, 256>, 8> t{};
  constexpr Tables() {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
      t[0][i] = c;
    }
    for (u32 i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
};
constexpr Tables kTables;

// a * b modulo the polynomial, in the reflected bit order of the CRC.
u32 MulMod(u32 a, u32 b) {
  u32 product = 0;
  for (u32 bit = 0x80000000u; bit; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPoly : b >> 1;
  }
  return product;
}

// x^(2^k) modulo the polynomial for k = 0..63 (reflected).
struct Powers {
  std::array<u32, 64> p{};
  Powers() {
    p[0] = 0x40000000u;  // x^1
    for (int k = 1; k < 64; ++k) p[k] = MulMod(p[k - 1], p[k - 1]);
  }
};

}  // namespace

u32 Crc32Update(u32 crc, const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  const auto& t = kTables.t;
  crc = ~crc;
  while (length >= 8) {
    u32 lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= crc;
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    length -= 8;
  }
  while (length--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

u32 Crc32Combine(u32 crcA, u32 crcB, u64 lengthB) {
  static const Powers powers;
  // Shift A's CRC over lengthB zero bytes: multiply by x^(8 * lengthB).
  u32 shifted = crcA;
  u64 bits = lengthB;
  for (int k = 3; bits; ++k, bits >>= 1) {
    if (bits & 1) shifted = MulMod(powers.p[k & 63], shifted);
  }
  return shifted ^ crcB;
}
