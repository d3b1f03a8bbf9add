// exFAT volume images for the tests: made by mkfs.exfat, judged by fsck.exfat, read back by sleuthkit.
#pragma once

#include "tests/support/fat_images.h"

#include <string>

namespace kpwtest {

// A whole-volume image of mib MiB that mkfs.exfat formatted with the cluster size given.
inline std::string MakeExfatImage(const TempDir& dir, const std::string& name, const std::string& cluster, u64 mib,
                                  const std::string& extra = "") {
  const std::string path = dir / name;
  MustRun("truncate -s " + std::to_string(mib) + "M " + Quote(path));
  MustRun("mkfs.exfat -c " + cluster + " " + extra + " " + Quote(path));
  return path;
}

// An image with an MBR whose one partition (type 0x07, from sector 2048) holds such a volume:
// mkfs.exfat has no offset, so the volume is made apart and copied in.
inline std::string MakePartitionedExfat(const TempDir& dir, const std::string& name, const std::string& cluster,
                                        u64 mib) {
  const std::string path = dir / name;
  const std::string part = MakeExfatImage(dir, name + ".part", cluster, mib);
  MustRun("truncate -s " + std::to_string(kPartitionOffset + mib * 1024 * 1024) + " " + Quote(path));
  MustRun("echo 'start=2048, size=" + std::to_string(mib * 2048) + ", type=7' | sfdisk -q --no-tell-kernel " +
          Quote(path));
  MustRun("dd if=" + Quote(part) + " of=" + Quote(path) + " bs=1M seek=1 conv=notrunc status=none");
  MustRun("rm " + Quote(part));
  return path;
}

// What fsck.exfat -n says of a volume at a byte offset, and whether it found it clean.
inline FsckResult FsckExfat(const std::string& image, u64 offset = 0, u64 length = 0) {
  std::string path = image;
  TempDir tmp("fsck");
  if (offset || length) {
    path = tmp / "part.img";
    MustRun("dd if=" + Quote(image) + " of=" + Quote(path) + " bs=512 skip=" + std::to_string(offset / 512) +
            " count=" + std::to_string(length / 512) + " status=none");
  }
  int status = 0;
  FsckResult r;
  r.text = Shell("fsck.exfat -n " + Quote(path) + " 2>&1", &status);
  r.clean = status == 0 && r.text.find("clean") != std::string::npos;
  return r;
}

#define EXPECT_EXFAT_CLEAN(...)                                        \
  do {                                                                 \
    const ::kpwtest::FsckResult fsck_ = ::kpwtest::FsckExfat(__VA_ARGS__); \
    EXPECT_TRUE(fsck_.clean) << fsck_.text;                            \
  } while (0)

// A number dump.exfat shows after the label given, -1 when it shows none.
inline double DumpField(const std::string& image, const std::string& label) {
  const std::string dump = MustRun("dump.exfat " + Quote(image));
  const std::size_t at = dump.find(label);
  return at == std::string::npos ? -1.0 : std::stod(dump.substr(dump.find_first_of("0123456789", at + label.size())));
}
inline u64 FreeClusters(const std::string& image) { return static_cast<u64>(DumpField(image, "Free Clusters:")); }

// Every name below the root as sleuthkit lists it ("a", "a/b") with its inode, without its own entries;
// a name listed twice has no inode.
inline std::map<std::string, std::string> FlsAll(const std::string& image) {
  std::map<std::string, std::string> out;
  std::istringstream lines(MustRun("fls -r -p " + Quote(image)));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t tab = line.find('\t'), space = line.find(' ');
    if (tab == std::string::npos || space == std::string::npos) continue;
    const std::string name = line.substr(tab + 1);
    if (name.find('$') != std::string::npos || line.find('*') != std::string::npos) continue;
    const std::string inode = line.substr(space + 1, line.find(':') - space - 1);
    out[name] = out.count(name) ? "" : inode;
  }
  return out;
}

// The bytes of a file by its inode as sleuthkit reads them.
inline std::string Icat(const std::string& image, const std::string& inode) {
  return Shell("icat " + Quote(image) + " " + inode + " 2>/dev/null");
}

}  // namespace kpwtest
