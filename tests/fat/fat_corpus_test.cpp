// The FAT images of dosfstools' tests, damaged and mended: read without harm, read as mtools reads the clean ones, written on copies.
#include "FileSystem/Volume/volume_api.h"
#include "tests/support/corpus.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

struct CorpusImage {
  std::string name;
  std::string dump;
  bool mended;
};

std::vector<CorpusImage> Images() {
  std::vector<CorpusImage> out;
  const auto dumps = CorpusNames("fat", [](const fs::path& p) {
    return p.extension() == ".xxd" || p.extension() == ".fsck";
  });
  for (const std::string& name : dumps)
    out.push_back({name, CorpusFolder("fat") + "/" + name, fs::path(name).extension() == ".xxd"});
  return out;
}

std::string Restore(const TempDir& dir, const CorpusImage& c) {
  const std::string path = dir / (c.name + ".img");
  MustRun("xxd -r " + Quote(c.dump) + " " + Quote(path));
  return path;
}

// Everything below a folder as the volume API gives it: folders as "/a/", files with their bytes
// (at most limit bytes each). Errors are kept as entries "<path>!error", so nothing stops the walk.
void Walk(DiskDriveTable& table, const std::string& folder, std::map<std::string, std::string>& files,
          std::set<std::string>& folders, int depth, std::size_t limit) {
  if (depth > 64 || folders.size() + files.size() > 20000) return;
  DiskFindRecord record;
  int err = 0;
  const DiskHandle h = DiskFindFirst(table, (folder + "/*").c_str(), &record, &err);
  if (!h) {
    if (err != SYS_ERR_INVALID) files[folder + "!list"] = std::to_string(err);
    return;
  }
  std::vector<DiskFindRecord> entries;
  int r = 0;
  do entries.push_back(record);
  while ((r = DiskFindNext(table, h, &record)) == 0 && entries.size() < 20000);
  if (r != SYS_ERR_NOT_FOUND && r != 0) files[folder + "!next"] = std::to_string(r);
  DiskFindClose(table, h);
  for (const DiskFindRecord& e : entries) {
    EXPECT_NE(e.name[0], '\0') << folder;  // an empty name would stand for the folder itself
    const std::string path = folder + "/" + e.name;
    if (e.attributes & DISK_ATTR_FOLDER) {
      if (!folders.insert(path + "/").second) continue;
      Walk(table, path, files, folders, depth + 1, limit);
      continue;
    }
    int openErr = 0;
    const DiskHandle f = DiskFileOpen(table, path.c_str(), DISK_OPEN_READ, &openErr);
    if (!f) {
      files[path + "!open"] = std::to_string(openErr);
      continue;
    }
    std::string data;
    char block[65536];
    for (;;) {
      const int n = DiskFileRead(table, f, block, sizeof block);
      if (n < 0) {
        files[path + "!read"] = std::to_string(n);
        break;
      }
      data.append(block, static_cast<std::size_t>(n));
      if (n < static_cast<int>(sizeof block) || data.size() >= limit) break;
    }
    DiskFileClose(table, f);
    files[path] = std::move(data);
  }
}

bool FsckClean(const std::string& image) {
  int status = 0;
  Shell("fsck.fat -n " + Quote(image) + " 2>&1", &status);
  return status == 0;
}

class FatCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    images = Images();
    ASSERT_GE(images.size(), 20u) << "the FAT dumps are missing from " << CorpusFolder("fat");
  }
  std::vector<CorpusImage> images;
};

TEST_F(FatCorpus, EveryImageListsAndReadsWithoutHarm) {
  for (const CorpusImage& c : images) {
    TempDir dir("fat-corpus", ImageBase());
    const std::string image = Restore(dir, c);
    AttachedImage a(image, true);
    if (a.drives() < 2) continue;  // no volume to read
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
    Walk(a.table(), "", files, folders, 0, 1 << 20);
    // Writes are refused on a read-only attach, whatever the volume holds.
    EXPECT_EQ(DiskMkdir(a.table(), "/x"), SYS_ERR_ACCESS) << c.name;
    SCOPED_TRACE(c.name);
  }
}

TEST_F(FatCorpus, CleanImagesReadAsMtoolsReadsThem) {
  int compared = 0;
  for (const CorpusImage& c : images) {
    if (!c.mended) continue;
    TempDir dir("fat-corpus-clean", ImageBase());
    const std::string image = Restore(dir, c);
    if (!FsckClean(image)) continue;
    TempDir out("fat-corpus-out", ImageBase());
    std::map<std::string, std::string> expected;
    std::set<std::string> expectedFolders;
    int status = 0;
    Shell(Mtools("mcopy", image, "-s -n -m " + Quote("::/*") + " " + Quote(out.path() + "/") + " 2>&1"), &status);
    for (const auto& e : fs::recursive_directory_iterator(out.path())) {
      const std::string rel = "/" + fs::relative(e.path(), out.path()).string();
      if (e.is_directory()) expectedFolders.insert(rel + "/");
      else expected[rel] = ReadFile(e.path().string());
    }
    AttachedImage a(image, true);
    ASSERT_EQ(a.drives(), 2) << c.name;
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
    Walk(a.table(), "", files, folders, 0, std::size_t{1} << 30);
    EXPECT_EQ(folders, expectedFolders) << c.name;
    EXPECT_EQ(files.size(), expected.size()) << c.name;
    for (const auto& [path, data] : expected) EXPECT_TRUE(files.count(path) && files[path] == data) << c.name << path;
    ++compared;
  }
  EXPECT_GE(compared, 10);
}

TEST_F(FatCorpus, WritesOnCopiesOfCleanImagesStayClean) {
  int written = 0;
  for (const CorpusImage& c : images) {
    if (!c.mended) continue;
    TempDir dir("fat-corpus-write", ImageBase());
    const std::string image = Restore(dir, c);
    if (!FsckClean(image)) continue;
    std::string moved;
    {
      AttachedImage a(image);
      ASSERT_EQ(a.drives(), 2) << c.name;
      ASSERT_EQ(DiskMkdir(a.table(), "/Kopiwart Ordner"), 0) << c.name;
      ASSERT_EQ(a.Put("/Kopiwart Ordner/Übung.txt", std::string(5000, 'k')), 0) << c.name;
      // One file that was there moves into the new folder and back under another name.
      const std::vector<std::string> root = a.List("/");
      for (const std::string& name : root)
        if (!name.empty() && name.back() != '/' && name[0] != '<') {
          moved = name;
          break;
        }
      if (!moved.empty()) {
        const std::string before = a.Get("/" + moved);
        ASSERT_EQ(DiskRename(a.table(), ("/" + moved).c_str(), "/Kopiwart Ordner/moved"), 0) << c.name;
        ASSERT_EQ(DiskRename(a.table(), "/Kopiwart Ordner/moved", ("/" + moved + ".renamed").c_str()), 0) << c.name;
        EXPECT_EQ(a.Get("/" + moved + ".renamed"), before) << c.name;
      }
    }
    const FsckResult r = Fsck(image);
    EXPECT_TRUE(r.clean) << c.name << "\n" << r.text;
    EXPECT_EQ(Mtype(image, "/Kopiwart Ordner/Übung.txt"), std::string(5000, 'k')) << c.name;
    ++written;
  }
  EXPECT_GE(written, 10);
}

}  // namespace
