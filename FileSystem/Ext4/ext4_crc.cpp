// Table-driven CRC-32C and CRC-16 for ext4 metadata.
#include "FileSystem/Ext4/ext4_crc.h"

#include <array>

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
constexpr auto kCrc32Be = MakeCrc32BeTable();
constexpr auto kCrc16 = MakeCrc16Table();

}  // namespace

u32 Ext4Crc32c(u32 crc, const void* data, std::size_t length) {
  const u8* p = static_cast<const u8*>(data);
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
