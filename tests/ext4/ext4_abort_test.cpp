// ext4 operations that fail half-way, with and without a journal: nothing of them reaches the volume, as e2fsck and debugfs see it.
#include "FileSystem/Media/raw_disk.h"
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace kpwtest;

// An image file whose reads fail from a chosen one on (counted from when the test arms it).
class FailingMedium final : public RawMedium {
 public:
  explicit FailingMedium(std::unique_ptr<RawMedium> inner) : m_inner(std::move(inner)) {}
  bool ReadAt(u64 offset, void* data, std::size_t length) override {
    if (failAt > 0 && ++reads >= failAt) return false;
    return m_inner->ReadAt(offset, data, length);
  }
  bool WriteAt(u64 offset, const void* data, std::size_t length) override {
    return m_inner->WriteAt(offset, data, length);
  }
  bool Flush() override { return m_inner->Flush(); }
  bool Close() override { return m_inner->Close(); }
  u64 ByteSize() const override { return m_inner->ByteSize(); }
  u32 SectorSize() const override { return m_inner->SectorSize(); }
  bool IsDisk() const override { return m_inner->IsDisk(); }
  bool ReadOnly() const override { return m_inner->ReadOnly(); }

  int failAt = 0;  // 0: never
  int reads = 0;

 private:
  std::unique_ptr<RawMedium> m_inner;
};

constexpr u32 kAttach = DISK_ATTACH_CLEAR | DISK_ATTACH_FIXED_DRIVE;

// What e2fsck and debugfs see of a volume: the problems and the root's and a folder's entries.
std::string Seen(const std::string& image) {
  std::string seen = Shell("e2fsck -fn " + Quote(image) + " 2>&1 | tail -n +2");
  for (const char* folder : {"/", "/ordner"})
    seen += Shell("debugfs -R " + Quote(std::string("ls -p ") + folder) + " " + Quote(image) + " 2>/dev/null");
  return seen;
}

struct Operation {
  const char* name;
  std::function<bool(DiskDriveTable&)> run;  // true when it succeeded
};

bool Write(DiskDriveTable& t, const char* path, u32 mode, std::size_t size) {
  int err = 0;
  const DiskHandle h = DiskFileOpen(t, path, mode, &err);
  if (!h) return false;
  const std::string data = RandomBytes(size, 3);
  const bool written = DiskFileWrite(t, h, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
  return DiskFileClose(t, h) == SYS_OK && written;
}

const Operation kOperations[] = {
    {"mkdir", [](DiskDriveTable& t) { return DiskMkdir(t, "/ordner/neu") == SYS_OK; }},
    {"write", [](DiskDriveTable& t) { return Write(t, "/ordner/leer.bin", DISK_OPEN_WRITE, 300 << 10); }},
    {"rename", [](DiskDriveTable& t) { return DiskRename(t, "/klein.txt", "/ordner/k.txt") == SYS_OK; }},
    {"delete", [](DiskDriveTable& t) { return DiskDelete(t, "/ordner/mittel.bin") == SYS_OK; }},
    {"rmdir", [](DiskDriveTable& t) { return DiskRmdir(t, "/ordner/leer") == SYS_OK; }},
};

// Every operation, failing at each read it makes on its own (the cache keeps what it read
// before): the volume stays as it was, with a journal and without.
TEST(Ext4Abort, AnOperationThatFailsLeavesNothingBehind) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  for (const char* features : {"^has_journal", "has_journal"}) {
    TempDir dir("ext4abort", ImageBase());
    const std::string tree = dir / "tree", pristine = dir / "pristine.img", image = dir / "v.img";
    std::filesystem::create_directories(tree + "/ordner/leer");
    WriteFile(tree + "/klein.txt", "kopiwart\n");
    WriteFile(tree + "/ordner/leer.bin", "");
    WriteFile(tree + "/ordner/mittel.bin", RandomBytes(200000, 1));
    for (int i = 0; i < 30; ++i) WriteFile(tree + "/ordner/f" + std::to_string(i), std::to_string(i));
    Ext4Tool(std::string("mke2fs -q -F -t ext4 -b 1024 -O ") + features + " -d " + Quote(tree) + " " +
             Quote(pristine) + " 8M");
    MustRun("cp " + Quote(pristine) + " " + Quote(image));
    const std::string before = Seen(image);
    ASSERT_EQ(E2fsckProblems(image), "");
    for (const Operation& op : kOperations) {
      int failures = 0;
      for (int k = 1; k < 400; ++k) {
        SCOPED_TRACE(std::string(features) + " " + op.name + " failing at read " + std::to_string(k));
        MustRun("cp " + Quote(pristine) + " " + Quote(image));
        std::string why;
        auto inner = DrvOpenSlot(image.c_str(), DRV_ACCESS_READ_WRITE, false, &why);
        ASSERT_TRUE(inner) << why;
        auto medium = std::make_unique<FailingMedium>(std::move(inner));
        FailingMedium& m = *medium;
        DiskDriveTable table;
        ASSERT_GT(DiskAttachMedium(table, std::move(medium), image.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
        m.failAt = k;
        const bool done = op.run(table);
        m.failAt = 0;
        DiskDetach(table, 0);
        if (done) break;
        ++failures;
        ASSERT_EQ(Seen(image), before);
      }
      EXPECT_GT(failures, 0) << op.name;  // the operation read something of its own
      RecordProperty(std::string(features) + "_" + op.name, failures);
    }
  }
}

// A volume whose group descriptor fails its checksum: an upload that fails there leaves e2fsck
// finding exactly what it found before.
TEST(Ext4Abort, AFailedWriteIntoADamagedGroupLeavesItAsItWas) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  for (const char* features : {"metadata_csum,^has_journal", "metadata_csum"}) {
    SCOPED_TRACE(features);
    TempDir dir("ext4abortdesc", ImageBase());
    const std::string image = dir / "v.img";
    Ext4Tool(std::string("mke2fs -q -F -t ext4 -O ") + features + " " + Quote(image) + " 32M");
    Ext4Tool("debugfs -w -R 'set_bg 0 checksum 0x1234' " + Quote(image));
    const std::string before = Seen(image);
    DiskDriveTable table;
    ASSERT_GT(DiskAttach(table, image.c_str(), kAttach, nullptr, DISK_ALL_PARTITIONS), 1);
    const bool made = DiskMkdir(table, "/up") == SYS_OK && Write(table, "/up/a.txt", DISK_OPEN_WRITE | DISK_OPEN_CREATE, 5000);
    DiskDetach(table, 0);
    if (!made) EXPECT_EQ(Seen(image), before);
    else EXPECT_EQ(E2fsckProblems(image).find("bitmap differences"), std::string::npos);
  }
}

}  // namespace
