// Hand-made exFAT fixtures: bytes of an image changed in place, with the boot and entry-set checksums made anew.
#pragma once

#include "FileSystem/Exfat/exfat_engine.h"
#include "FileSystem/Volume/volume_exfat.h"
#include "tests/support/exfat_images.h"
#include "tests/support/files.h"

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace kpwtest {

// The mounted engine object of the one volume of an attached image.
inline ExfatVolume& Engine(AttachedImage& a) { return *dynamic_cast<ExfatVolume*>(a.table().fileSystem[1].get()); }

// The engine's node of a path (not referenced), or null.
inline ExfatNode* Node(AttachedImage& a, const std::string& path) {
  ExfatNode* node = nullptr;
  if (ExfatLookup(Engine(a), &node, path) != 0) return nullptr;
  ExfatPutNode(Engine(a), node);
  return node;
}

class RawImage {
 public:
  explicit RawImage(std::string path) : m_path(std::move(path)) {}

  std::vector<u8> Read(u64 at, std::size_t n) const {
    std::ifstream in(m_path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(at));
    std::vector<u8> out(n);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    return out;
  }
  void Patch(u64 at, const std::vector<u8>& bytes) const {
    std::fstream io(m_path, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(at));
    io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  u32 Le32(u64 at) const {
    const std::vector<u8> b = Read(at, 4);
    return u32{b[0]} | u32{b[1]} << 8 | u32{b[2]} << 16 | u32{b[3]} << 24;
  }
  static std::vector<u8> Bytes32(u32 v) { return {u8(v), u8(v >> 8), u8(v >> 16), u8(v >> 24)}; }
  static std::vector<u8> Bytes64(u64 v) {
    std::vector<u8> out = Bytes32(static_cast<u32>(v)), high = Bytes32(static_cast<u32>(v >> 32));
    out.insert(out.end(), high.begin(), high.end());
    return out;
  }

  // The boot checksum over sectors 0-10 (512-byte sectors), written over sector 11.
  void SealBoot() const {
    const std::vector<u8> region = Read(0, 11 * 512);
    u32 sum = 0;
    for (std::size_t i = 0; i < region.size(); ++i)
      if (i != 106 && i != 107 && i != 112) sum = (sum << 31 | sum >> 1) + region[i];
    std::vector<u8> sector;
    for (int i = 0; i < 128; ++i) for (const u8 b : Bytes32(sum)) sector.push_back(b);
    Patch(11 * 512, sector);
  }

  u64 ClusterBytes() const { return u64{512} << Read(109, 1)[0]; }
  // The FAT entry of a cluster, read and written.
  u32 Fat(u32 cluster) const { return Le32((u64{Le32(80)} << 9) + u64{cluster} * 4); }
  void SetFat(u32 cluster, u32 next) const { Patch((u64{Le32(80)} << 9) + u64{cluster} * 4, Bytes32(next)); }
  // Marks clusters [first, first + count) free or used in the allocation bitmap.
  void SetBits(u32 first, u32 count, bool used) const {
    u64 bitmap = 0;
    for (u64 at = RootAt(); at < RootAt() + ClusterBytes() && !bitmap; at += 32)
      if (Read(at, 1)[0] == 0x81) bitmap = ClusterAt(Le32(at + 20));
    for (u32 c = first; c < first + count; ++c) {
      const u64 byte = bitmap + (c - 2) / 8;
      const u8 bit = static_cast<u8>(1u << ((c - 2) % 8));
      const u8 old = Read(byte, 1)[0];
      Patch(byte, {static_cast<u8>(used ? old | bit : old & ~bit)});
    }
  }
  u64 ClusterAt(u32 cluster) const { return (u64{Le32(88)} << 9) + (cluster - 2) * ClusterBytes(); }
  u64 RootAt() const { return ClusterAt(Le32(96)); }

  // The file entry of the set named so (ASCII) in the root's first cluster; 0 when none.
  u64 FindSet(const std::string& name) const {
    const u64 root = RootAt();
    const std::vector<u8> d = Read(root, ClusterBytes());
    for (std::size_t i = 0; i + 64 <= d.size(); i += 32) {
      if (d[i] != 0x85 || d[i + 32] != 0xC0 || d[i + 35] != name.size()) continue;
      std::string found;
      for (std::size_t k = 0; k < name.size(); ++k) found += static_cast<char>(d[i + 64 + (k / 15) * 32 + 2 + (k % 15) * 2]);
      if (found == name) return root + i;
    }
    return 0;
  }
  // The set checksum of the set at that place, made anew.
  void SealSet(u64 at) const {
    const std::vector<u8> set = Read(at, (Read(at + 1, 1)[0] + 1u) * 32);
    u16 sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i)
      if (i != 2 && i != 3) sum = static_cast<u16>((sum << 15 | sum >> 1) + set[i]);
    Patch(at + 2, {u8(sum), u8(sum >> 8)});
  }

 private:
  std::string m_path;
};

}  // namespace kpwtest
