// The disk adapter on ext4 volumes: listings with links and 64-bit sizes, downloads, and writes after a writable attach.
#include "FileSystem/Volume/volume_api.h"
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/disk/disk_connection.h"
#include "remote/url_file_find.h"
#include "tests/support/ext4_images.h"
#include "tests/support/fake_medium.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

constexpr u64 kFiveGiB = 5ull << 30;

std::string Bytes(std::size_t n) {
  std::mt19937 rng(7);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// An ext4 image (no partition table) filled from a tree with links, a pipe, a name that is not
// UTF-8 and a sparse file of 5 GiB and 3 bytes.
std::string MakeVolume(const TempDir& dir) {
  const std::string src = dir / "src";
  fs::create_directories(src + "/sub/deeper");
  WriteFile(src + "/small.txt", "hello ext4\n");
  WriteFile(src + "/sub/inner.bin", Bytes(300 * 1024));
  WriteFile(src + "/sub/deeper/leaf.txt", "leaf");
  WriteFile(src + "/run.sh", "#!/bin/sh\n");
  ::chmod((src + "/run.sh").c_str(), 0755);
  WriteFile(src + "/raw\xE9.bin", "latin-1");
  fs::create_symlink("small.txt", src + "/to-file");
  fs::create_symlink("sub", src + "/to-folder");
  fs::create_symlink("nowhere/at/all", src + "/dangling");
  MustRun("mkfifo " + Quote(src + "/pipe"));
  WriteFile(src + "/big", "head");
  fs::resize_file(src + "/big", kFiveGiB);
  std::ofstream(src + "/big", std::ios::app) << "end";
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 4096 -d " + Quote(src) + " " + Quote(image) + " 64M");
  return image;
}

// Bytes of an image (whole images are too large to read into strings under the sanitizers).
std::string Piece(const std::string& image, u64 at, std::size_t size) {
  std::ifstream in(image, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(at));
  std::string out(size, '\0');
  in.read(out.data(), static_cast<std::streamsize>(size));
  return out;
}

bool SameFiles(const std::string& a, const std::string& b) { return System("cmp -s " + Quote(a) + " " + Quote(b)) == 0; }

std::unique_ptr<CUrlConnection> Connect(const std::string& image, u32 flags = 0) {
  return ConnectUrl(image.c_str(), "", "", 0, URL_KIND_DISK | flags, "/ignored", nullptr);
}

std::map<std::string, WIN32_FIND_DATAA> Listing(CUrlConnection& c, const std::string& folder) {
  std::map<std::string, WIN32_FIND_DATAA> out;
  const auto collect = [](void* context, const WIN32_FIND_DATAA* entry) -> BOOL {
    if (entry) (*static_cast<std::map<std::string, WIN32_FIND_DATAA>*>(context))[entry->cFileName] = *entry;
    return TRUE;
  };
  EXPECT_TRUE(c.ReadDir(folder.c_str(), &out, collect, UrlDirFilter{})) << GetLastError();
  return out;
}

TEST(DiskExt4, ListsFollowsLinksAndDownloadsEveryByte) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("disk-ext4", ImageBase());
  const std::string image = MakeVolume(dir);
  fs::copy_file(image, dir / "before.img");
  auto c = Connect(image, URL_CONNECT_READ_ONLY);
  ASSERT_TRUE(c) << GetLastError();

  auto root = Listing(*c, "/");
  std::vector<std::string> names;
  for (const auto& [name, e] : root) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"big", "dangling", "lost+found", "pipe", "raw\xE9.bin", "run.sh",
                                             "small.txt", "sub", "to-file", "to-folder"}));
  // 5 GiB and 3 bytes: the high word 1, and bits 32-37 of the size in bits 10-15.
  EXPECT_EQ(root["big"].nFileSizeHigh, 1u);
  EXPECT_EQ(root["big"].nFileSizeLow, 0x40000003u);
  EXPECT_EQ(root["big"].dwFileAttributes & 0xFC00, 0x400u);
  EXPECT_EQ(root["sub"].dwFileAttributes & (URL_ATTR_DIRECTORY | URL_ATTR_LINK), URL_ATTR_DIRECTORY);
  // Links are marked and describe their targets; one that leads nowhere is listed all the same.
  EXPECT_EQ(root["to-folder"].dwFileAttributes & (URL_ATTR_DIRECTORY | URL_ATTR_LINK), URL_ATTR_DIRECTORY | URL_ATTR_LINK);
  EXPECT_TRUE(root["to-file"].dwFileAttributes & URL_ATTR_LINK);
  EXPECT_EQ(root["to-file"].nFileSizeLow, 11u);
  EXPECT_TRUE(root["dangling"].dwFileAttributes & URL_ATTR_LINK);
  EXPECT_FALSE(root["dangling"].dwFileAttributes & URL_ATTR_DIRECTORY);
  // Modes: 0644 lists writable, neither hidden nor system; 0755 adds the execute bits' attributes.
  EXPECT_EQ(root["small.txt"].dwFileAttributes & (URL_ATTR_READONLY | URL_ATTR_HIDDEN | URL_ATTR_SYSTEM), 0u);
  EXPECT_EQ(root["run.sh"].dwFileAttributes & (URL_ATTR_HIDDEN | URL_ATTR_SYSTEM | URL_ATTR_ARCHIVE),
            URL_ATTR_HIDDEN | URL_ATTR_SYSTEM | URL_ATTR_ARCHIVE);

  // Folders reached through a link list and download as the folder itself.
  EXPECT_EQ(Listing(*c, "/to-folder").size(), 2u);
  EXPECT_TRUE(c->ChangeDir("/to-folder/deeper"));
  char text[16] = {};
  EXPECT_EQ(c->DownloadMemory("leaf.txt", text, sizeof text, 0, 0, 0), 4);
  EXPECT_STREQ(text, "leaf");
  const std::string local = dir / "inner.bin";
  ASSERT_TRUE(c->DownloadFile("/to-folder/inner.bin", local.c_str(), TRUE, 0, 0, 0)) << GetLastError();
  EXPECT_TRUE(ReadFile(local) == Bytes(300 * 1024));
  ASSERT_TRUE(c->DownloadFile("/raw\xE9.bin", (dir / "raw").c_str(), TRUE, 0, 0, 0)) << GetLastError();
  EXPECT_EQ(ReadFile(dir / "raw"), "latin-1");
  EXPECT_EQ(c->DownloadMemory("/to-file", text, sizeof text, 0, 0, 0), 11);

  // A pipe has nothing to copy; a link that leads nowhere has no path.
  EXPECT_FALSE(c->DownloadFile("/pipe", (dir / "pipe").c_str(), TRUE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(c->DownloadFile("/dangling", (dir / "dangling").c_str(), TRUE, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(dir / "pipe"));
  c.reset();
  EXPECT_TRUE(SameFiles(image, dir / "before.img"));

  // The volume file API reads beyond 4 GiB: the tail of the sparse file, holes as zeros.
  DiskDriveTable table;
  ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_READ_ONLY | DISK_ATTACH_FIXED_DRIVE, nullptr,
                       DISK_ALL_PARTITIONS),
            2);
  int err = 0;
  const DiskHandle h = DiskFileOpen(table, "/big", DISK_OPEN_READ, &err);
  ASSERT_NE(h, 0u) << err;
  EXPECT_EQ(DiskGetFileSize(table, h), static_cast<i64>(kFiveGiB + 3));
  EXPECT_EQ(DiskFileSeek(table, h, -6, 2), static_cast<i64>(kFiveGiB - 3));
  char tail[16] = {};
  EXPECT_EQ(DiskFileRead(table, h, tail, sizeof tail), 6);
  EXPECT_EQ(std::string(tail, 6), std::string("\0\0\0end", 6));
  EXPECT_EQ(DiskFileSeek(table, h, 1, 2), SYS_ERR_INVALID);
  DiskFindRecord record;
  EXPECT_EQ(DiskReadDirEntry(table, h, &record), SYS_OK);
  EXPECT_STREQ(record.name, "big");
  EXPECT_EQ(record.attributes >> DISK_ATTR_UNIX_MODE_SHIFT, 0100644u);
  EXPECT_EQ(DiskFileClose(table, h), SYS_OK);
  EXPECT_EQ(DiskFileClose(table, h), SYS_ERR_INVALID);
  // The attribute word of a path carries no mode above it, which would make it negative.
  EXPECT_EQ(DiskFileInfo(table, "/small.txt"), DISK_ATTR_READABLE | DISK_ATTR_WRITABLE);
  EXPECT_EQ(DiskPathKind(table, "/to-folder"), 2);
  EXPECT_EQ(DiskPathKind(table, "/dangling"), 1);
  EXPECT_EQ(DiskPathKind(table, "/small.txt/"), 0);
  EXPECT_EQ(DiskFindFirst(table, "/sub/*.none", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_INVALID);
  EXPECT_EQ(DiskFindFirst(table, "/missing/*", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_PATH);
}

TEST(DiskExt4, AWritableAttachReplaysTheJournalAndWrites) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("disk-ext4-rw", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 4096 " + Quote(image) + " 32M");
  WriteFile(dir / "block", std::string(4096, 'j'));
  WriteFile(dir / "t", "jo\njw -b 3000 " + (dir / "block") + "\njc\n");
  Ext4Tool("debugfs -w -f " + Quote(dir / "t") + " " + Quote(image));

  // Read-only, the journal is replayed in memory alone: the image keeps every byte.
  MustRun("cp " + Quote(image) + " " + Quote(image + ".orig"));
  EXPECT_EQ(Listing(*Connect(image, URL_CONNECT_READ_ONLY), "/").size(), 1u);  // lost+found
  EXPECT_TRUE(SameFiles(image, image + ".orig"));

  const std::string big = Bytes(700 * 1024 + 17);
  {
    auto c = Connect(image);
    ASSERT_TRUE(c) << GetLastError();
    EXPECT_EQ(Piece(image, 3000 * 4096, 4096), std::string(4096, 'j'));
    // Upload, apply find data, upload again over it, delete: each step succeeds.
    ASSERT_TRUE(c->UploadMemory("/new.txt", "first", 5, 0, 0)) << GetLastError();
    WIN32_FIND_DATAA record{};
    std::strcpy(record.cFileName, "/new.txt");
    record.ftLastWriteTime = U64ToFileTime((1714979289ull + kFileTimeEpochOffset) * 10'000'000);
    record.ftCreationTime = U64ToFileTime((1704067200ull + kFileTimeEpochOffset) * 10'000'000);
    record.dwFileAttributes = URL_ATTR_ARCHIVE;
    ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0)) << GetLastError();
    ASSERT_TRUE(c->UploadMemory("/new.txt", "second", 6, 0, 0)) << GetLastError();
    ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0)) << GetLastError();
    ASSERT_TRUE(c->Mkdir("/folder")) << GetLastError();
    const std::string local = dir / "big.bin";
    WriteFile(local, big);
    ASSERT_TRUE(c->UploadFile(local.c_str(), "/folder/big.bin", 0, 0)) << GetLastError();
    ASSERT_TRUE(c->UploadMemory("/gone.txt", "x", 1, 0, 0));
    EXPECT_TRUE(c->Remove("/gone.txt")) << GetLastError();
    EXPECT_FALSE(c->Remove("/folder"));  // a folder is no file
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(c->Rmdir("/folder"));  // not empty
    ASSERT_TRUE(c->Mkdir("/empty"));
    EXPECT_TRUE(c->Rename("/empty", "/folder/moved")) << GetLastError();
    EXPECT_TRUE(c->Rmdir("/folder/moved")) << GetLastError();
    // A read-only file takes the owner's write bit back and can go.
    ASSERT_TRUE(c->UploadMemory("/ro.txt", "r", 1, 0, 0));
    EXPECT_TRUE(c->SetAttributes("/ro.txt", URL_ATTR_READONLY));
    EXPECT_FALSE(c->UploadMemory("/ro.txt", "w", 1, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(c->SetAttributes("/ro.txt", 0));
    EXPECT_TRUE(c->UploadMemory("/ro.txt", "w", 1, 0, 0)) << GetLastError();
    EXPECT_TRUE(c->SetAttributes("/ro.txt", URL_ATTR_READONLY));
    EXPECT_TRUE(c->Remove("/ro.txt")) << GetLastError();
    auto root = Listing(*c, "/");
    EXPECT_EQ(root.size(), 3u);  // folder, lost+found, new.txt
    EXPECT_EQ(root["new.txt"].nFileSizeLow, 6u);
    EXPECT_FALSE(root["new.txt"].dwFileAttributes & URL_ATTR_READONLY);
    EXPECT_EQ(FileTimeToU64(root["new.txt"].ftLastWriteTime) / 10'000'000 - kFileTimeEpochOffset, 1714979289ull);
  }
  EXPECT_EQ(E2fsckProblems(image), "");
  EXPECT_EQ(Shell("debugfs -R 'cat /new.txt' " + Quote(image) + " 2>/dev/null"), "second");
  EXPECT_TRUE(Shell("debugfs -R 'cat /folder/big.bin' " + Quote(image) + " 2>/dev/null") == big);
  // Writable keeps the group and other write bits of a new file; the archive bit is the owner's
  // execute bit.
  const std::string stat = Shell("debugfs -R 'stat /new.txt' " + Quote(image) + " 2>/dev/null");
  EXPECT_NE(stat.find("Mode:  0766"), std::string::npos) << stat;
}

// The volume file API keeps one writer per file and no name of an open file goes.
// A journal left by a crash on an image that is only read: its changes are replayed into memory,
// so the files read as they stand after them, and the image (here one its owner may not write)
// is not changed.
TEST(DiskExt4, AReadOnlyAttachReplaysTheJournalInMemoryOnly) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("disk-ext4-ro", ImageBase());
  fs::create_directories(dir / "src");
  WriteFile(dir / "src/data.bin", std::string(4096, 'a'));
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 4096 -d " + Quote(dir / "src") + " " + Quote(image) + " 32M");
  const u64 block =
      std::strtoull(Shell("debugfs -R 'bmap data.bin 0' " + Quote(image) + " 2>/dev/null").c_str(), nullptr, 10);
  ASSERT_GT(block, 0u);
  WriteFile(dir / "block", std::string(4096, 'j'));
  WriteFile(dir / "t", "jo\njw -b " + std::to_string(block) + " " + (dir / "block") + "\njc\n");
  Ext4Tool("debugfs -w -f " + Quote(dir / "t") + " " + Quote(image));
  ASSERT_EQ(Piece(image, block * 4096, 4096), std::string(4096, 'a'));
  MustRun("cp " + Quote(image) + " " + Quote(image + ".orig"));
  ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
  for (int i = 0; i < 2; ++i) {
    auto c = Connect(image, URL_CONNECT_READ_ONLY);
    char buffer[8192];
    EXPECT_EQ(c->DownloadMemory("/data.bin", buffer, sizeof buffer, 0, 0, 0), 4096);
    EXPECT_EQ(std::string(buffer, 4096), std::string(4096, 'j'));
    EXPECT_FALSE(c->UploadMemory("/new.txt", "x", 1, 0, 0));
  }
  EXPECT_TRUE(SameFiles(image, image + ".orig"));
  // Without the read-only attach the image is refused, as the owner may not write it.
  EXPECT_THROW(Connect(image), CInternetException);
  EXPECT_TRUE(SameFiles(image, image + ".orig"));
}

// Attached to be written, a volume that only reads fails the connect with the reason, and one
// marked as having errors is written with a notice; attached read-only, both are read.
TEST(DiskExt4, AWritableAttachSaysWhatStandsAgainstWriting) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("disk-ext4-notes", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -O fast_commit " + Quote(image) + " 16M");
  const std::string before = ReadFile(image);
  try {
    Connect(image);
    ADD_FAILURE() << "attached";
  } catch (const CInternetException& e) {
    EXPECT_EQ(e.m_dwError, static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_NE(e.Text().find(image + " kann nicht geschrieben werden"), std::string::npos) << e.Text();
    EXPECT_NE(e.Text().find("fast_commit"), std::string::npos) << e.Text();
  }
  EXPECT_EQ(Listing(*Connect(image, URL_CONNECT_READ_ONLY), "/").size(), 1u);
  EXPECT_TRUE(ReadFile(image) == before);

  Ext4Tool("mke2fs -q -F -t ext4 " + Quote(image) + " 16M");
  Ext4Tool("debugfs -w -R 'ssv state 3' " + Quote(image));
  auto c = Connect(image);
  const auto* disk = dynamic_cast<const CDiskUrlConnection*>(c.get());
  ASSERT_NE(disk, nullptr);
  EXPECT_NE(disk->Notice().find("fehlerhaft markiert"), std::string::npos) << disk->Notice();
  EXPECT_TRUE(c->Mkdir("/neu"));
  c.reset();
  EXPECT_EQ(E2fsckProblems(image), "");
}

TEST(DiskExt4, OpenFilesAreNeitherRemovedNorRenamedNorWrittenTwice) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("disk-ext4-open", ImageBase());
  const std::string image = dir / "vol.img";
  fs::create_directories(dir / "src/real");
  fs::create_symlink("real", dir / "src/link");
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 -d " + Quote(dir / "src") + " " + Quote(image) + " 8M");
  DiskDriveTable table;
  ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_FIXED_DRIVE, nullptr, DISK_ALL_PARTITIONS), 2);
  int err = 0;
  const DiskHandle h = DiskFileOpen(table, "/f", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
  ASSERT_NE(h, 0u) << err;
  EXPECT_EQ(DiskFileWrite(table, h, "abcdef", 6), 6);
  EXPECT_EQ(DiskFileSeek(table, h, -2, 2), 4);
  EXPECT_EQ(DiskFileWrite(table, h, "XYZ", 3), 3);
  EXPECT_EQ(DiskGetFileSize(table, h), 7);
  EXPECT_EQ(DiskFileOpen(table, "/f", DISK_OPEN_READ | DISK_OPEN_WRITE, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  EXPECT_EQ(DiskDelete(table, "/f"), SYS_ERR_ACCESS);
  EXPECT_EQ(DiskRename(table, "/f", "/g"), SYS_ERR_ACCESS);
  const DiskHandle reader = DiskFileOpen(table, "/f", DISK_OPEN_READ, &err);
  EXPECT_NE(reader, 0u);
  EXPECT_EQ(DiskFileFlush(table, h), SYS_OK);
  EXPECT_EQ(DiskSetFileSize(table, h, 3), SYS_OK);
  EXPECT_EQ(DiskFileClose(table, h), SYS_OK);
  EXPECT_EQ(DiskFileClose(table, reader), SYS_OK);
  EXPECT_EQ(DiskMkdir(table, "/f"), SYS_ERR_EXISTS);
  EXPECT_EQ(DiskRename(table, "/f", "/g"), SYS_OK);
  EXPECT_EQ(DiskDelete(table, "/g"), SYS_OK);
  // A new file through a link to a folder lands in the folder.
  const DiskHandle viaLink = DiskFileOpen(table, "/link/new", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
  ASSERT_NE(viaLink, 0u) << err;
  EXPECT_EQ(DiskFileWrite(table, viaLink, "via", 3), 3);
  EXPECT_EQ(DiskFileClose(table, viaLink), SYS_OK);
  EXPECT_EQ(DiskDetach(table, 0), 1);
  EXPECT_EQ(Shell("debugfs -R 'cat /real/new' " + Quote(image) + " 2>/dev/null"), "via");
  EXPECT_EQ(E2fsckProblems(image), "");
}

// What a volume could not write out when it was let go makes the detach fail.
TEST(DiskExt4, ADetachThatCannotWriteOutFails) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("disk-ext4-detach", ImageBase());
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 " + Quote(image) + " 4M");
  auto state = std::make_shared<FakeMediumState>();
  const std::string bytes = ReadFile(image);
  state->byteSize = bytes.size();
  state->Put(0, bytes.data(), bytes.size());
  DiskDriveTable table;
  ASSERT_EQ(DiskAttachMedium(table, std::make_unique<FakeMedium>(state, false), "fake", DISK_ATTACH_FIXED_DRIVE,
                             nullptr, DISK_ALL_PARTITIONS),
            2);
  EXPECT_EQ(DiskMkdir(table, "/d"), SYS_OK);
  state->failWrites = 1 << 20;
  EXPECT_EQ(DiskDetach(table, 0), 0);
}

// Entries whose names a volume path cannot spell (damaged: empty, or with "/"; or with "\", which
// paths take for "/") are left out of listings.
TEST(DiskExt4, EntriesNoPathCanNameAreNotListed) {
  if (!HaveE2fsprogs()) GTEST_SKIP() << "e2fsprogs is not installed";
  TempDir dir("disk-ext4-names", ImageBase());
  fs::create_directories(dir / "src");
  for (const char* name : {"keep", "emptyname", "slashname", "keep\\not"}) WriteFile(dir / "src/" + name, name);
  const std::string image = dir / "vol.img";
  Ext4Tool("mke2fs -q -F -t ext4 -b 1024 -O ^metadata_csum,^dir_index -d " + Quote(dir / "src") + " " + Quote(image) +
           " 4M");
  std::istringstream blocks(Shell("debugfs -R 'blocks /' " + Quote(image) + " 2>/dev/null"));
  u64 root = 0;
  ASSERT_TRUE(blocks >> root);
  std::string folder = Piece(image, root * 1024, 1024);
  const std::size_t empty = folder.find("emptyname"), slash = folder.find("slashname");
  ASSERT_NE(empty, std::string::npos);
  ASSERT_NE(slash, std::string::npos);
  folder[empty - 2] = 0;  // the name's length
  folder[slash + 5] = '/';
  {
    std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(root * 1024));
    out.write(folder.data(), 1024);
  }
  auto c = Connect(image, URL_CONNECT_READ_ONLY);
  ASSERT_TRUE(c);
  std::vector<std::string> names;
  for (const auto& [name, e] : Listing(*c, "/")) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"keep", "lost+found"}));
}

}  // namespace
