// Table-driven CRC-32C and CRC-16 for ext4 metadata.
#include "FileSystem/Ext4/ext4_crc.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

constexpr std::array<u32, 256> MakeCrc32cTable() {
  std::array<u32, 256> t{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    t[i] = c;
  }
  return t;
}

constexpr std::array<u16, 256> MakeCrc16Table() {
  std::array<u16, 256> t{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
    t[i] = static_cast<u16>(c);
  }
  return t;
}

constexpr std::array<u32, 256> MakeCrc32BeTable() {
  std::array<u32, 256> t{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    t[i] = c;
  }
  return t;
}

constexpr auto kCrc32c = MakeCrc32cTable();

// Eight tables for eight bytes a step, where the processor has no CRC-32C instruction.
constexpr std::array<std::array<u32, 256>, 8> MakeCrc32cSlices() {
  std::array<std::array<u32, 256>, 8> t{};
  t[0] = MakeCrc32cTable();
  for (int k = 1; k < 8; ++k)
    for (u32 i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}
constexpr auto kCrc32cSlices = MakeCrc32cSlices();

u32 Crc32cSliced(u32 crc, const u8* p, std::size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    u32 lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= crc;  // little-endian hosts only reach this for whole words
    crc = kCrc32cSlices[7][lo & 0xFF] ^ kCrc32cSlices[6][(lo >> 8) & 0xFF] ^ kCrc32cSlices[5][(lo >> 16) & 0xFF] ^
          kCrc32cSlices[4][lo >> 24] ^ kCrc32cSlices[3][hi & 0xFF] ^ kCrc32cSlices[2][(hi >> 8) & 0xFF] ^
          kCrc32cSlices[1][(hi >> 16) & 0xFF] ^ kCrc32cSlices[0][hi >> 24];
  }
  for (; n; --n) crc = kCrc32c[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
// The SSE 4.2 instruction computes the same reflected CRC-32C step without inversion.
__attribute__((target("sse4.2"))) u32 Crc32cHardware(u32 crc, const u8* p, std::size_t n) {
  u64 c = crc;
  for (; n >= 8; n -= 8, p += 8) {
    u64 v;
    std::memcpy(&v, p, 8);
    c = _mm_crc32_u64(c, v);
  }
  crc = static_cast<u32>(c);
  for (; n; --n) crc = _mm_crc32_u8(crc, *p++);
  return crc;
}
// The register after m zero bytes, as four byte tables: the CRC is linear, so a block's CRC is
// the CRC of its first part moved past the rest, combined with the rest's CRC from zero.
struct ZeroShift {
  std::array<std::array<u32, 256>, 4> t{};
  explicit ZeroShift(std::size_t m) {
    std::array<u32, 32> basis{};
    for (int bit = 0; bit < 32; ++bit) {
      u32 r = 1u << bit;
      for (std::size_t i = 0; i < m; ++i) r = kCrc32c[r & 0xFF] ^ (r >> 8);
      basis[bit] = r;
    }
    for (int k = 0; k < 4; ++k)
      for (u32 v = 0; v < 256; ++v) {
        u32 r = 0;
        for (int bit = 0; bit < 8; ++bit)
          if (v >> bit & 1) r ^= basis[8 * k + bit];
        t[k][v] = r;
      }
  }
  u32 operator()(u32 r) const { return t[0][r & 0xFF] ^ t[1][(r >> 8) & 0xFF] ^ t[2][(r >> 16) & 0xFF] ^ t[3][r >> 24]; }
};

// Blocks of the usual sizes in three interleaved streams, which keeps the instruction's pipeline
// full (one stream waits on each step's latency).
__attribute__((target("sse4.2"))) u32 Crc32cHardwareBlock(u32 crc, const u8* p, std::size_t n) {
  const std::size_t m = n / 24 * 8;
  static const ZeroShift s1024(1024 / 24 * 8), s2048(2048 / 24 * 8), s4096(4096 / 24 * 8);
  const ZeroShift& shift = n == 4096 ? s4096 : n == 2048 ? s2048 : s1024;
  u64 a = crc, b = 0, c = 0;
  for (std::size_t i = 0; i < m; i += 8) {
    u64 va, vb, vc;
    std::memcpy(&va, p + i, 8);
    std::memcpy(&vb, p + m + i, 8);
    std::memcpy(&vc, p + 2 * m + i, 8);
    a = _mm_crc32_u64(a, va);
    b = _mm_crc32_u64(b, vb);
    c = _mm_crc32_u64(c, vc);
  }
  u32 r = shift(static_cast<u32>(a)) ^ static_cast<u32>(b);
  r = shift(r) ^ static_cast<u32>(c);
  return Crc32cHardware(r, p + 3 * m, n - 3 * m);
}

bool HardwareCrc() {
  static const bool yes = [] {
    __builtin_cpu_init();  // may run before the runtime's own constructors
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return yes;
}
#endif
constexpr auto kCrc32Be = MakeCrc32BeTable();
constexpr auto kCrc16 = MakeCrc16Table();

}  // namespace

u32 Ext4Crc32c(u32 crc, const void* data, std::size_t length) {
  const u8* p = static_cast<const u8*>(data);
#if defined(__x86_64__)
  if (HardwareCrc())
    return length == 4096 || length == 2048 || length == 1024 ? Crc32cHardwareBlock(crc, p, length)
                                                               : Crc32cHardware(crc, p, length);
#endif
  if constexpr (std::endian::native == std::endian::little) return Crc32cSliced(crc, p, length);
  for (std::size_t i = 0; i < length; ++i) crc = kCrc32c[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

u32 Ext4Crc32Be(u32 crc, const void* data, std::size_t length) {
  const u8* p = static_cast<const u8*>(data);
  for (std::size_t i = 0; i < length; ++i) crc = kCrc32Be[((crc >> 24) ^ p[i]) & 0xFF] ^ (crc << 8);
  return crc;
}

u16 Ext4Crc16(u16 crc, const void* data, std::size_t length) {
  const u8* p = static_cast<const u8*>(data);
  for (std::size_t i = 0; i < length; ++i) crc = static_cast<u16>(kCrc16[(crc ^ p[i]) & 0xFF] ^ (crc >> 8));
  return crc;
}
