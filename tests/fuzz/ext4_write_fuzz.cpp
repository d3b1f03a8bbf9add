// libFuzzer target: a small ext4 image damaged by the input, attached writable over an in-memory medium and written through the volume file API.
#include "FileSystem/Media/raw_disk.h"
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

// The image in memory. A write that reaches past its end, or that changes the boot block (no ext4
// structure lives in the first 1024 bytes), stops the fuzzer.
class MemoryMedium final : public RawMedium {
 public:
  explicit MemoryMedium(std::vector<std::uint8_t>& image) : m_image(image) {}
  bool ReadAt(u64 offset, void* data, std::size_t length) override {
    if (offset > m_image.size() || length > m_image.size() - offset) return false;
    std::memcpy(data, m_image.data() + offset, length);
    return true;
  }
  bool WriteAt(u64 offset, const void* data, std::size_t length) override {
    if (offset > m_image.size() || length > m_image.size() - offset) __builtin_trap();
    if (offset < 1024 && std::memcmp(m_image.data() + offset, data, std::min<u64>(length, 1024 - offset)) != 0)
      __builtin_trap();
    std::memcpy(m_image.data() + offset, data, length);
    return true;
  }
  bool Flush() override { return true; }
  bool Close() override { return true; }
  u64 ByteSize() const override { return m_image.size(); }
  u32 SectorSize() const override { return 512; }
  bool IsDisk() const override { return false; }
  bool ReadOnly() const override { return false; }

 private:
  std::vector<std::uint8_t>& m_image;
};

constexpr u32 kAttach = DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE;

// The first few names of a folder, with whether each is a folder.
std::vector<std::pair<std::string, bool>> List(DiskDriveTable& table, const std::string& folder) {
  std::vector<std::pair<std::string, bool>> out;
  DiskFindRecord record;
  int err = 0;
  const DiskHandle h = DiskFindFirst(table, (folder + "/*").c_str(), &record, &err);
  if (!h) return out;
  int seen = 0;
  do {
    const std::string name = record.name;
    if (name != "." && name != ".." && out.size() < 8)
      out.emplace_back(folder + "/" + name, (record.attributes & DISK_ATTR_FOLDER) && !record.link);
  } while (++seen < 2000 && DiskFindNext(table, h, &record) == 0);
  DiskFindClose(table, h);
  return out;
}

void WriteFile(DiskDriveTable& table, const std::string& path, int mode, std::size_t length) {
  static const std::vector<char> bytes(40000, 'k');
  int err = 0;
  const DiskHandle f = DiskFileOpen(table, path.c_str(), mode, &err);
  if (!f) return;
  DiskFileSeek(table, f, 0, 2);
  DiskFileWrite(table, f, bytes.data(), static_cast<int>(length));
  DiskFileClose(table, f);
}

void Truncate(DiskDriveTable& table, const std::string& path, u64 size) {
  int err = 0;
  const DiskHandle f = DiskFileOpen(table, path.c_str(), DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
  if (!f) return;
  DiskSetFileSize(table, f, size);
  DiskFileClose(table, f);
}

// A fixed workload over what the image holds: new names beside and inside its folders, its files
// grown, cut, renamed and removed, its folders removed.
void Workload(DiskDriveTable& table) {
  const auto entries = List(table, "");
  DiskMkdir(table, "/neu");
  WriteFile(table, "/neu/a.txt", DISK_OPEN_WRITE | DISK_OPEN_CREATE, 3000);
  WriteFile(table, "/neu/a.txt", DISK_OPEN_WRITE, 20000);
  Truncate(table, "/neu/a.txt", 1500);
  DiskRename(table, "/neu/a.txt", "/b.txt");
  int files = 0, folders = 0;
  for (const auto& [path, isFolder] : entries) {
    if (isFolder && folders++ < 3) {
      const auto inside = List(table, path);
      WriteFile(table, path + "/neu-" + std::to_string(folders), DISK_OPEN_WRITE | DISK_OPEN_CREATE, 100);
      for (std::size_t i = 0; i < inside.size() && i < 3; ++i) {
        if (inside[i].second) DiskRmdir(table, inside[i].first.c_str());
        else DiskDelete(table, inside[i].first.c_str());
      }
      DiskRename(table, path.c_str(), (path + "-x").c_str());
      DiskRmdir(table, (path + "-x").c_str());
    } else if (!isFolder && files++ < 3) {
      WriteFile(table, path, DISK_OPEN_WRITE, 5000);
      Truncate(table, path, 700);
      if (files == 2) DiskDelete(table, path.c_str());
    }
  }
  DiskDelete(table, "/b.txt");
  DiskRmdir(table, "/neu");
  List(table, "");
}

// The images the damage goes into, made by scripts/gen-ext4-write-seeds.sh.
std::vector<std::vector<std::uint8_t>> g_images;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (const char* name : {"files", "nocsum", "ext2", "hashed", "journal"}) {
    std::ifstream in(std::string(KPW_FUZZ_DATA "/ext4w_") + name + ".img", std::ios::binary);
    g_images.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (g_images.back().size() < 65536) __builtin_trap();
  }
  return 0;
}

// The input: which image (first byte), then damage records of four bytes: an offset and the byte
// to put there. The offset's 23 low bits fall into the first 128 KiB, where the small images keep
// their metadata, unless its top bit is set; then all 24 bits are taken modulo the image size.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  std::vector<std::uint8_t> image = g_images[data[0] % g_images.size()];
  for (std::size_t at = 1; at + 4 <= size; at += 4) {
    const u32 offset = data[at] | data[at + 1] << 8 | data[at + 2] << 16;
    const std::size_t room = (offset & 0x800000) ? image.size() : std::min<std::size_t>(image.size(), 128 << 10);
    image[offset % room] = data[at + 3];
  }
  {
    DiskDriveTable table;
    if (DiskAttachMedium(table, std::make_unique<MemoryMedium>(image), "fuzz", kAttach, nullptr,
                         DISK_ALL_PARTITIONS) > 1 &&
        table.fsType[1] == DISK_TYPE_EXT4) {
      Workload(table);
    }
    DiskDetach(table, 0);
  }
  return 0;
}
