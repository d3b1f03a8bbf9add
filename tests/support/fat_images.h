// FAT volume images for the tests: made by mkfs.fat, checked by fsck.fat, read back by mtools and sleuthkit.
#pragma once

#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kpwtest {

// A folder in memory for images when the machine has one: every write of the engine ends with a
// sync, which a disk would make slow.
inline const char* ImageBase() {
  static const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
  return base;
}

// Runs a command; its output (standard error too), the test failing when it fails.
inline std::string MustRun(const std::string& command) {
  int status = 0;
  std::string out = Shell(command + " 2>&1", &status);
  EXPECT_EQ(status, 0) << command << ":\n" << out;
  return out;
}

// mtools without its checks of the geometry, on an image with the volume at a byte offset.
inline std::string MtoolsImage(const std::string& image, u64 offset = 0) {
  return Quote(offset ? image + "@@" + std::to_string(offset) : image);
}
inline std::string Mtools(const std::string& tool, const std::string& image, const std::string& args, u64 offset = 0) {
  return "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + tool + " -i " + MtoolsImage(image, offset) + " " + args;
}

// The disk:// URL of a folder in the volume of an image (each "/" of the image's path as %2F).
inline std::string DiskUrl(const std::string& image, const std::string& folder = "") {
  std::string url = "disk://";
  for (const char ch : image) url += ch == '/' ? std::string("%2F") : std::string(1, ch);
  return url + "/" + folder;
}

// A whole-volume image: mkfs.fat -F bits over kib KiB with extra options.
inline std::string MakeFatImage(const TempDir& dir, const std::string& name, int bits, u64 kib,
                                const std::string& extra = "") {
  const std::string path = dir / name;
  MustRun("mkfs.fat -C " + extra + " -F " + std::to_string(bits) + " " + Quote(path) + " " + std::to_string(kib));
  return path;
}

// An image with an MBR whose one partition (from sector 2048, type 0x0C, 0x06 or 0x01 by the
// bits) holds a volume that mkfs.fat made over kib KiB.
inline constexpr u64 kPartitionOffset = 2048 * 512;
inline std::string MakePartitionedFat(const TempDir& dir, const std::string& name, int bits, u64 kib,
                                      const std::string& extra = "") {
  const std::string path = dir / name;
  const char* type = bits == 32 ? "c" : bits == 16 ? "6" : "1";
  MustRun("truncate -s " + std::to_string(kPartitionOffset + kib * 1024) + " " + Quote(path));
  MustRun("echo 'start=2048, size=" + std::to_string(kib * 2) + ", type=" + type + "' | sfdisk -q --no-tell-kernel " + Quote(path));
  MustRun("mkfs.fat " + extra + " -F " + std::to_string(bits) + " --offset 2048 " + Quote(path) + " " +
          std::to_string(kib));
  return path;
}

// What fsck.fat -n says of a volume (at a byte offset and of a length, for one inside a partitioned
// image), and whether it found it clean.
struct FsckResult {
  bool clean = false;
  std::string text;
};
inline FsckResult Fsck(const std::string& image, u64 offset = 0, u64 length = 0) {
  std::string path = image;
  TempDir tmp("fsck");
  if (offset || length) {
    path = tmp / "part.img";
    MustRun("dd if=" + Quote(image) + " of=" + Quote(path) + " bs=512 skip=" + std::to_string(offset / 512) +
            " count=" + std::to_string(length / 512) + " status=none");
  }
  int status = 0;
  FsckResult r;
  r.text = Shell("fsck.fat -n -v " + Quote(path) + " 2>&1", &status);
  // fsck.fat reports what it would mend even with -n; a clean volume has none of these lines.
  r.clean = status == 0 && r.text.find("Free cluster summary wrong") == std::string::npos &&
            r.text.find("would") == std::string::npos && r.text.find("Dirty bit") == std::string::npos;
  return r;
}

#define EXPECT_FSCK_CLEAN(...)                          \
  do {                                                  \
    const ::kpwtest::FsckResult fsck_ = ::kpwtest::Fsck(__VA_ARGS__); \
    EXPECT_TRUE(fsck_.clean) << fsck_.text;             \
  } while (0)

// Every path mtools lists below the root, "/a", "/a/b/" for folders, sorted.
inline std::vector<std::string> MdirAll(const std::string& image, u64 offset = 0) {
  std::vector<std::string> out;
  std::istringstream lines(MustRun(Mtools("mdir", image, "-/ -b -a ::", offset)));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("::", 0) == 0) out.push_back(line.substr(2));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The bytes of one file as mtools reads them.
inline std::string Mtype(const std::string& image, const std::string& file, u64 offset = 0) {
  return Shell(Mtools("mcopy", image, "-n " + Quote("::" + file) + " - 2>/dev/null", offset));
}

// Copies the whole volume into a local folder with mtools (write times kept, the DOS fields taken
// in the zone given).
inline void MtoolsExtract(const std::string& image, const std::string& folder, const std::string& zone,
                          u64 offset = 0) {
  MustRun("TZ=" + Quote(zone) + " " + Mtools("mcopy", image, "-s -n -m " + Quote("::/*") + " " + Quote(folder + "/"), offset));
}

// The write times (seconds since 1970 UTC) sleuthkit reads, by path "/a/b"; the DOS fields are
// taken in the zone given.
inline std::map<std::string, i64> WriteTimes(const std::string& image, const std::string& zone, u64 offsetSectors = 0) {
  std::map<std::string, i64> out;
  const std::string cmd = "TZ=UTC fls -r -p -m / -z " + Quote(zone) + " -o " + std::to_string(offsetSectors) + " " +
                          Quote(image);
  std::istringstream lines(MustRun(cmd));
  std::string line;
  // Body format: MD5|name|inode|mode|uid|gid|size|atime|mtime|ctime|crtime
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) f.push_back(field);
    if (f.size() < 11 || f[1].find("(deleted") != std::string::npos || f[1].find("$") != std::string::npos) continue;
    out[f[1]] = std::stoll(f[8]);
  }
  return out;
}

// The FAT of a FAT16 or FAT32 volume in an image (at a byte offset), read and changed in every
// copy; for damaging chains by hand.
class FatTableOf {
 public:
  explicit FatTableOf(std::string image, u64 offset = 0) : m_image(std::move(image)), m_offset(offset) {
    const std::string boot = Bytes(0, 512);
    const auto le = [&](std::size_t at, int n) {
      u32 v = 0;
      for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<u8>(boot[at + static_cast<std::size_t>(i)]);
      return v;
    };
    m_fatStart = u64{le(14, 2)} * 512;
    m_fats = le(16, 1);
    m_fatBytes = u64{le(22, 2) ? le(22, 2) : le(36, 4)} * 512;
    m_wide = le(22, 2) == 0;  // FAT32
    m_clusterBytes = u64{le(13, 1)} * 512;
    m_rootCluster = m_wide ? le(44, 4) : 0;
  }
  u32 Get(u32 c) const {
    const std::string b = Bytes(m_fatStart + Entry(c), m_wide ? 4 : 2);
    u32 v = 0;
    for (std::size_t i = b.size(); i-- > 0;) v = v << 8 | static_cast<u8>(b[i]);
    return m_wide ? v & 0x0FFFFFFF : v;
  }
  void Set(u32 c, u32 v) const {
    std::fstream io(m_image, std::ios::binary | std::ios::in | std::ios::out);
    for (u32 f = 0; f < m_fats; ++f) {
      char b[4];
      for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
      io.seekp(static_cast<std::streamoff>(m_offset + m_fatStart + f * m_fatBytes + Entry(c)));
      io.write(b, m_wide ? 4 : 2);
    }
  }
  // The last cluster of the chain from c.
  u32 Last(u32 c) const {
    for (u32 n = Get(c); n >= 2 && n < (m_wide ? 0x0FFFFFF8u : 0xFFF8u); n = Get(c)) c = n;
    return c;
  }
  u32 RootCluster() const { return m_rootCluster; }
  u64 ClusterBytes() const { return m_clusterBytes; }

 private:
  u64 Entry(u32 c) const { return u64{c} * (m_wide ? 4 : 2); }
  std::string Bytes(u64 at, std::size_t n) const {
    std::ifstream in(m_image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(m_offset + at));
    std::string out(n, '\0');
    in.read(out.data(), static_cast<std::streamsize>(n));
    return out;
  }
  std::string m_image;
  u64 m_offset, m_fatStart = 0, m_fatBytes = 0, m_clusterBytes = 0;
  u32 m_fats = 0, m_rootCluster = 0;
  bool m_wide = false;
};

// A drive table with one image attached for reading and writing (or only reading), its one volume
// the fixed drive.
class AttachedImage {
 public:
  explicit AttachedImage(const std::string& path, bool readOnly = false) {
    const u32 mode = DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE |
                     (readOnly ? u32{DISK_ATTACH_READ_ONLY} : 0u);
    m_drives = DiskAttach(m_table, path.c_str(), mode, nullptr, DISK_ALL_PARTITIONS);
  }
  ~AttachedImage() { Detach(); }
  void Detach() { DiskDetach(m_table, 0); }
  DiskDriveTable& table() { return m_table; }
  int drives() const { return m_drives; }

  // Writes a whole file; the SysError or 0.
  int Put(const std::string& path, const std::string& data) {
    int err = 0;
    const DiskHandle h = DiskFileOpen(m_table, path.c_str(), DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    if (!h) return err;
    const int n = DiskFileWrite(m_table, h, data.data(), static_cast<int>(data.size()));
    const int closed = DiskFileClose(m_table, h);
    if (n < 0) return n;
    if (n != static_cast<int>(data.size())) return SYS_ERR_DISK_FULL;
    return closed;
  }
  // A whole file, or "<error>".
  std::string Get(const std::string& path) {
    int err = 0;
    const DiskHandle h = DiskFileOpen(m_table, path.c_str(), DISK_OPEN_READ, &err);
    if (!h) return "<" + std::to_string(err) + ">";
    std::string out;
    char block[70000];
    for (;;) {
      const int n = DiskFileRead(m_table, h, block, sizeof block);
      if (n < 0) {
        DiskFileClose(m_table, h);
        return "<" + std::to_string(n) + ">";
      }
      out.append(block, static_cast<std::size_t>(n));
      if (n < static_cast<int>(sizeof block)) break;
    }
    DiskFileClose(m_table, h);
    return out;
  }
  // The names of a folder, sorted; folders end in "/". "<error>" when it cannot be listed.
  std::vector<std::string> List(const std::string& folder) {
    std::vector<std::string> out;
    DiskFindRecord record;
    int err = 0;
    const std::string pattern = folder + (folder.empty() || folder.back() == '/' ? "*" : "/*");
    const DiskHandle h = DiskFindFirst(m_table, pattern.c_str(), &record, &err);
    if (!h) {
      if (err != SYS_ERR_INVALID) out.push_back("<" + std::to_string(err) + ">");
      return out;
    }
    int r = 0;
    do {
      out.push_back(std::string(record.name) + ((record.attributes & DISK_ATTR_FOLDER) ? "/" : ""));
    } while ((r = DiskFindNext(m_table, h, &record)) == 0);
    if (r != SYS_ERR_NOT_FOUND) out.push_back("<" + std::to_string(r) + ">");
    DiskFindClose(m_table, h);
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  DiskDriveTable m_table;
  int m_drives = 0;
};

}  // namespace kpwtest
