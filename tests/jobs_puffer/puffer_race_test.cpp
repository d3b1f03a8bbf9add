// A folder below the data folder or the buffer swapped for a link to a folder outside, again and
// again while an exchange runs: nothing outside is created, changed or deleted, and no checksum
// is read through the link.
#include "jobs/puffer/puffer_list.h"
#include "tests/support/files.h"
#include "tests/support/link_swapper.h"
#include "tests/support/puffer_folders.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kpwtest::ReadFile;
using kpwtest::WriteFile;

constexpr int kTries = 50;
constexpr int kFiles = 60;        // in sub/
constexpr int kInnerFiles = 15;   // in sub/inner/
constexpr long long kTime = 1000000000;

std::string Numbered(const char* stem, int i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%03d", stem, i);
  return text;
}

// Everything below root, links not followed: each name with its kind, inode, size and write time
// (a link's target), so that a replaced, rewritten, new or missing name shows.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it) {
    const std::string path = it->path().string();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    std::string value = std::to_string(st.st_mode) + " " + std::to_string(st.st_ino) + " " +
                        std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " ";
    if (S_ISLNK(st.st_mode)) value += fs::read_symlink(it->path(), ec).string();
    out[path.substr(root.size())] = value;
  }
  return out;
}

// The source "buero-pc" with a data folder whose files lie in sub/ and sub/inner/, and the
// destination "laptop", registered. Many small files are made and removed in each try: on tmpfs
// where there is one, as a disk may take a millisecond for each.
class PufferRace : public ::testing::Test, protected kpwtest::PufferFolders {
 protected:
  PufferRace() : PufferFolders(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr) {}

  void SetUp() override {
    WriteFile(src + "/top.txt", "oben");
    kpwtest::SetMTime(src + "/top.txt", kTime);
    for (const std::string& rel : SubFiles()) {
      WriteFile(src + "/" + rel, "Inhalt von " + rel + " in der Quelle");
      kpwtest::SetMTime(src + "/" + rel, kTime);
    }
    ASSERT_EQ(Source(), 0);
    ASSERT_EQ(Dest(), 0);  // registers; the buffer is still empty
  }

  static std::vector<std::string> SubFiles() {
    std::vector<std::string> out;
    for (int i = 0; i < kFiles; ++i) out.push_back("sub/" + Numbered("f", i));
    for (int i = 0; i < kInnerFiles; ++i) out.push_back("sub/inner/" + Numbered("g", i));
    return out;
  }

  int Source(PufferReport* report = nullptr) {
    PufferList engine("buero-pc.example.org");
    int r = kpwtest::Exists(list) ? 0 : engine.Save(list.c_str(), src.c_str(), "", "", 0);
    if (r >= 0) r = engine.Exchange(list.c_str(), src.c_str(), "BUERO-PC", 0);
    if (report) *report = engine.Report();
    return r;
  }
  int Dest(PufferReport* report = nullptr) {
    PufferList engine("laptop");
    int r = engine.Exchange(list.c_str(), d1.c_str(), "laptop", 1);
    if (r == PUFFER_NOT_REGISTERED) r = engine.Exchange(list.c_str(), d1.c_str(), nullptr, 0);
    if (report) *report = engine.Report();
    return r;
  }

  // A folder outside with the names of sub/ (and more) in it, which a write or a deletion
  // through a link would reach.
  static void MakeOutside(const std::string& dir) {
    fs::remove_all(dir);
    for (int i = 0; i < kFiles; ++i) {
      WriteFile(dir + "/" + Numbered("f", i), "draußen " + Numbered("f", i));
      WriteFile(dir + "/" + Numbered("x", i), "draußen " + Numbered("x", i));
    }
    for (int i = 0; i < kInnerFiles; ++i) WriteFile(dir + "/inner/" + Numbered("g", i), "draußen");
    for (int i = 0; i < 10; ++i) fs::create_directories(dir + "/" + Numbered("e", i));
  }
};

TEST_F(PufferRace, ADestinationNeverWritesOrDeletesThroughAFolderSwappedForALink) {
  ASSERT_EQ(Source(), kFiles + kInnerFiles + 1);  // the buffer holds everything
  const std::string listText = ReadFile(list);
  const std::string outside = root + "/draussen";
  MakeOutside(outside);
  auto before = Snapshot(outside);
  int touched = 0, copied = 0, deleted = 0;
  long swaps = 0;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    WriteFile(list, listText);
    fs::remove_all(d1);
    // Files the source does not list, due for deletion, under names the outside folder has too.
    for (int i = 0; i < kFiles; ++i) WriteFile(d1 + "/sub/" + Numbered("x", i), "nur hier");
    fs::create_directories(d1 + "/sub/inner");
    fs::create_directory_symlink(outside, d1 + "/verweis");
    PufferReport report;
    {
      kpwtest::LinkSwapper swapper(d1 + "/sub", d1 + "/verweis", std::chrono::microseconds(20));
      EXPECT_NE(Dest(&report), PUFFER_STOPPED);
      swaps += swapper.Swaps();
    }
    copied += report.copied;
    deleted += report.deleted;
    if (Snapshot(outside) != before) {
      ++touched;
      MakeOutside(outside);
      before = Snapshot(outside);
    }
  }
  EXPECT_EQ(touched, 0) << "of " << kTries << " exchanges reached outside";
  EXPECT_GT(swaps, kTries);
  // The exchanges did their work between the swaps.
  EXPECT_GT(copied, 0);
  EXPECT_GT(deleted, 0);

  // Left alone, the destination catches up.
  fs::remove(d1 + "/verweis");
  ASSERT_GE(Dest(), 0);
  ASSERT_GE(Dest(), 0);
  EXPECT_EQ(kpwtest::FileContents(d1), kpwtest::FileContents(src));
}

TEST_F(PufferRace, TheSourceNeverWritesOrDeletesOrReadsThroughAFolderSwappedForALink) {
  const std::string listText = ReadFile(list);
  std::map<std::string, u32> checksums;  // of the data files
  {
    PufferList engine("buero-pc");
    for (const std::string& rel : SubFiles()) {
      std::string key = rel;  // the list writes "\" between names
      std::replace(key.begin(), key.end(), '/', '\\');
      checksums[key] = engine.Checksum((src + "/" + rel).c_str());
    }
  }
  const std::string outsideData = root + "/draussen-daten", outsideBuffer = root + "/draussen-puffer";
  MakeOutside(outsideData);
  fs::create_directory_symlink(outsideData, src + "/verweis");
  MakeOutside(outsideBuffer);
  auto beforeData = Snapshot(outsideData), beforeBuffer = Snapshot(outsideBuffer);
  int touched = 0, readOutside = 0, copied = 0;
  long swaps = 0;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    WriteFile(list, listText);
    // New times make the source read every file again.
    for (const std::string& rel : SubFiles()) kpwtest::SetMTime(src + "/" + rel, kTime + 1 + attempt);
    // The buffer: files no record names and emptied folders, both due to go, under names the
    // outside folder has too.
    fs::remove_all(buffer);
    for (int i = 0; i < kFiles; ++i) WriteFile(buffer + "/sub/" + Numbered("x", i), "alt");
    for (int i = 0; i < 10; ++i) fs::create_directories(buffer + "/sub/" + Numbered("e", i));
    fs::create_directory_symlink(outsideBuffer, buffer + "/verweis");
    PufferReport report;
    {
      const std::chrono::microseconds pause(20);
      kpwtest::LinkSwapper data(src + "/sub", src + "/verweis", pause);
      kpwtest::LinkSwapper carrier(buffer + "/sub", buffer + "/verweis", pause);
      EXPECT_NE(Source(&report), PUFFER_STOPPED);
      swaps += data.Swaps() + carrier.Swaps();
    }
    copied += report.copied;
    if (Snapshot(outsideData) != beforeData || Snapshot(outsideBuffer) != beforeBuffer) {
      ++touched;
      MakeOutside(outsideData);
      MakeOutside(outsideBuffer);
      beforeData = Snapshot(outsideData);
      beforeBuffer = Snapshot(outsideBuffer);
    }
    PufferListFile file;
    PufferParseList(ReadFile(list), file);
    bool foreign = false;
    for (int i = 0; i < file.records.Count(); ++i) {
      const std::string key(file.records.Text(i), static_cast<std::size_t>(file.records.TextLength(i)));
      const auto it = checksums.find(key);
      if (it != checksums.end() && PufferGetRecord(file.records, i).checksum != it->second) foreign = true;
    }
    readOutside += foreign ? 1 : 0;
  }
  EXPECT_EQ(touched, 0) << "of " << kTries << " exchanges reached outside";
  EXPECT_EQ(readOutside, 0) << "of " << kTries << " lists took a checksum from outside";
  EXPECT_GT(swaps, kTries);
  EXPECT_GT(copied, 0);

  // Left alone, the source fills the buffer with everything again.
  fs::remove(src + "/verweis");
  fs::remove(buffer + "/verweis");
  WriteFile(list, listText);
  fs::remove_all(buffer);
  EXPECT_EQ(Source(), kFiles + kInnerFiles + 1);
  EXPECT_EQ(kpwtest::FileContents(buffer), kpwtest::FileContents(src));
}

}  // namespace
