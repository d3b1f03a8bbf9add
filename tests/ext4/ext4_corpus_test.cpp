// The ext2/3/4 images of e2fsprogs' tests, damaged and clean: read whole without harm, and the clean ones read as debugfs reads them.
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_ext4.h"
#include "tests/support/corpus.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

std::string CorpusFolder() { return kpwtest::CorpusFolder("ext4"); }

std::vector<std::string> Images() {
  return CorpusNames("ext4", [](const fs::path& p) { return fs::exists(p / "image.gz"); });
}

// The images are part of the project: a clone without them is broken, not a reason to skip.
TEST(Ext4CorpusPresent, HoldsE2fsprogsImages) { EXPECT_GE(Images().size(), 100u) << CorpusFolder(); }

std::string Unpack(const TempDir& dir, const std::string& name) {
  const std::string image = dir / (name + ".img");
  Ext4Tool("gzip -dc " + Quote(CorpusFolder() + "/" + name + "/image.gz") + " > " + Quote(image));
  return image;
}

// e2fsck's first run found nothing to mend.
bool Clean(const std::string& name) {
  return ReadFile(CorpusFolder() + "/" + name + "/expect.1").find("Exit status is 0") != std::string::npos;
}

class Ext4Corpus : public ::testing::TestWithParam<std::string> {};

TEST_P(Ext4Corpus, ReadWholeWithoutHarm) {
  const std::string name = GetParam();
  TempDir dir("ext4corpus", ImageBase());
  const std::string image = Unpack(dir, name);
  Ext4Mounted m(image);
  RecordProperty("mount", m.result);
  EXPECT_TRUE(m.result == EXT4_OK || m.result == EXT4_ENOTSUP || m.result == EXT4_ENXIO || m.result == EXT4_EIO)
      << m.result;
  std::map<std::string, int> errors;
  std::map<std::string, TreeEntry> tree;
  if (m.result == EXT4_OK) {
    tree = Ext4ReadTree(m.vol, &errors, 4u << 20, 50000);
    EXPECT_EQ(m.device.writes, 0);
    // Whatever failed did so with one of the engine's codes.
    for (const auto& [path, code] : errors)
      EXPECT_TRUE(code == EXT4_EIO || code == EXT4_ENOENT || code == EXT4_ENOTDIR || code == EXT4_EMLINK ||
                  code == EXT4_EINVAL || code == EXT4_EACCES || code == EXT4_EISDIR)
          << path << ": " << code;
  }
  // The drive table mounts it the same way (replaying a log into memory alone), and never writes
  // on a read-only attach. (Without a primary superblock the attach finds no volume at all.)
  DiskDriveTable table;
  bool needsRecovery = false;
  const int journal = m.result == EXT4_OK ? Ext4JournalNeedsRecovery(m.vol, &needsRecovery) : EXT4_OK;
  const std::string before = ReadFile(image);
  if (DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS) == 2) {
    if (table.fsType[1] == DISK_TYPE_EXT4) {
      EXPECT_EQ(m.result, EXT4_OK);
      EXPECT_EQ(journal, EXT4_OK);
      RecordProperty("replayedInMemory", needsRecovery ? 1 : 0);
    } else {
      EXPECT_FALSE(table.note[1].empty());
      EXPECT_TRUE(m.result != EXT4_OK || needsRecovery || journal != EXT4_OK) << table.note[1];
    }
    DiskDetach(table, 0);
  } else {
    EXPECT_NE(m.result, EXT4_OK);
  }
  EXPECT_TRUE(ReadFile(image) == before);

  if (m.result != EXT4_OK || !Clean(name) || !HaveE2fsprogs()) return;
  // A clean volume reads as debugfs reads it.
  EXPECT_TRUE(errors.empty()) << errors.begin()->first << ": " << errors.begin()->second;
  const std::string dump = dir / "dump";
  fs::create_directories(dump);
  Shell("debugfs -R " + Quote("rdump / " + dump) + " " + Quote(image) + " 2>&1");
  const auto theirs = HostTree(dump);
  for (const auto& [path, entry] : theirs) {
    auto it = tree.find(path);
    if (it == tree.end()) {
      ADD_FAILURE() << "missing " << path;
      continue;
    }
    TreeEntry mine = it->second;
    if (entry.kind == 'f' && entry.size > mine.data.size()) continue;  // read only in part
    EXPECT_EQ(mine, entry) << path;
  }
  for (const auto& [path, entry] : tree)
    if (entry.kind != 'o' && !theirs.count(path)) ADD_FAILURE() << "extra " << path;
}

INSTANTIATE_TEST_SUITE_P(E2fsprogs, Ext4Corpus, ::testing::ValuesIn(Images()),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                           std::string n = i.param;
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
