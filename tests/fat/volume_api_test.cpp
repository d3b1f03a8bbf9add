// The volume file API: paths and volume names, the current path, handles and slots, searches, refusals and attributes.
#include "FileSystem/Fat/fat_engine.h"
#include "FileSystem/Volume/volume_api.h"
#include "tests/support/fake_medium.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <set>

namespace {

using namespace kpwtest;

// An image with two FAT volumes: "0" (FAT16 from sector 2048) and "1" (FAT12 behind it).
std::string TwoVolumes(const TempDir& dir) {
  const std::string path = dir / "two.img";
  MustRun("truncate -s 30M " + Quote(path));
  MustRun("printf 'start=2048, size=40960, type=6\\nstart=43008, size=8192, type=1\\n' | sfdisk -q --no-tell-kernel " + Quote(path));
  MustRun("mkfs.fat -F 16 --offset 2048 " + Quote(path) + " 20480");
  MustRun("mkfs.fat -F 12 --offset 43008 " + Quote(path) + " 4096");
  return path;
}

std::string Resolved(DiskDriveTable& table, const char* path, int* drive) {
  char out[600];
  int length = 0;
  *drive = DiskResolvePath(table, path, out, sizeof out, DISK_NAME_UTF8, &length);
  return *drive >= 0 ? std::string(out, static_cast<std::size_t>(length)) : std::string();
}

std::string Current(const DiskDriveTable& table) {
  char buffer[600];
  return DiskGetCurrentPath(table, buffer, sizeof buffer) >= 0 ? buffer : "<none>";
}

class VolumeApi : public ::testing::Test {
 protected:
  void SetUp() override {
    image = TwoVolumes(dir);
    ASSERT_EQ(DiskAttach(table, image.c_str(), DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE,
                         nullptr, DISK_ALL_PARTITIONS),
              3);
    ASSERT_EQ(table.fixedDrive, 0u);
  }
  int Put(const std::string& path, const std::string& data) {
    int err = 0;
    const DiskHandle h = DiskFileOpen(table, path.c_str(), DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    if (!h) return err;
    DiskFileWrite(table, h, data.data(), static_cast<int>(data.size()));
    return DiskFileClose(table, h);
  }
  TempDir dir{"volume-api", ImageBase()};
  std::string image;
  DiskDriveTable table;
};

TEST_F(VolumeApi, PathsNameVolumesAndTheCurrentPathJoinsWithOneSlash) {
  int drive = -99;
  EXPECT_EQ(Resolved(table, "/", &drive), "/");
  EXPECT_EQ(drive, 0);
  for (const char* same : {"/0/dir", "/0:/dir", "\\0\\dir", "0:/dir", "/0/./x/../dir/", "/0//dir"}) {
    EXPECT_EQ(Resolved(table, same, &drive), "/dir") << same;
    EXPECT_EQ(drive, 2) << same;
  }
  EXPECT_EQ(Resolved(table, "/1", &drive), "/");
  EXPECT_EQ(drive, 3);
  EXPECT_EQ(Resolved(table, "/0/../../x", &drive), "/x");  // ".." never leaves the volume
  // Volume names that the table never gave out, and characters far off the map.
  for (const char* bad : {"/Z9", "/2", "/!x", "/0x", "/\x7f", "/~", "/o", "/\xc3\xa4"}) {
    Resolved(table, bad, &drive);
    EXPECT_EQ(drive, SYS_ERR_PATH) << bad;
  }
  Resolved(table, "/0/\xff", &drive);
  EXPECT_EQ(drive, SYS_ERR_NAME_TOO_LONG);
  char tiny[3];
  EXPECT_EQ(DiskResolvePath(table, "/0", tiny, sizeof tiny, DISK_NAME_UTF8, nullptr), SYS_ERR_INVALID);
  char16_t wide[8];
  int length = 0;
  EXPECT_EQ(DiskResolvePath(table, "/0/ab", wide, 8, DISK_NAME_UTF16, &length), 2);
  EXPECT_EQ(std::u16string(wide, static_cast<std::size_t>(length)), u"/ab");
  EXPECT_EQ(DiskResolvePath(table, "/0/abcdefg", wide, 8, DISK_NAME_UTF16, &length), SYS_ERR_NAME_TOO_LONG);

  // Only folders and volume roots become the current path; relative paths join with one "/".
  ASSERT_EQ(DiskMkdir(table, "/0/dir"), 0);
  ASSERT_EQ(Put("/0/dir/file", "f"), 0);
  EXPECT_EQ(DiskSetCurrentPath(table, "/0/missing"), SYS_ERR_PATH);
  EXPECT_EQ(DiskSetCurrentPath(table, "/0/dir/file"), SYS_ERR_PATH);
  EXPECT_EQ(Current(table), "/");
  ASSERT_EQ(DiskSetCurrentPath(table, "/0/dir"), 0);
  EXPECT_EQ(Current(table), "/0/dir");
  EXPECT_EQ(Resolved(table, "file", &drive), "/dir/file");
  EXPECT_EQ(DiskPathKind(table, "file"), 1);
  EXPECT_EQ(DiskPathKind(table, ".."), 2);
  ASSERT_EQ(DiskSetCurrentPath(table, ".."), 0);
  EXPECT_EQ(Current(table), "/0");
  ASSERT_EQ(DiskSetCurrentPath(table, "/1"), 0);
  EXPECT_EQ(Current(table), "/1");
  ASSERT_EQ(DiskSetCurrentPath(table, "/"), 0);
  EXPECT_EQ(DiskPathKind(table, "0/dir"), 2);  // from the drive list a relative path names a volume
  char small[4];
  EXPECT_EQ(DiskGetCurrentPath(table, small, 1), -1);
  char full[16];
  EXPECT_EQ(DiskFullPath(table, "/0/dir/file", full, sizeof full), 11);
  EXPECT_STREQ(full, "/0/dir/file");
  EXPECT_EQ(DiskFullPath(table, "\\1", full, sizeof full), 2);
  EXPECT_EQ(DiskFullPath(table, "/", full, sizeof full), 1);
  EXPECT_EQ(DiskFullPath(table, "/0/dir", small, sizeof small), SYS_ERR_INVALID);

  // With a lone volume the paths have no volume name, and neither has the current path.
  DiskDriveTable fixed;
  const std::string single = MakeFatImage(dir, "single.img", 12, 2000);
  ASSERT_EQ(DiskAttach(fixed, single.c_str(), DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE,
                       nullptr, DISK_ALL_PARTITIONS),
            2);
  ASSERT_EQ(DiskMkdir(fixed, "/sub"), 0);
  ASSERT_EQ(DiskSetCurrentPath(fixed, "/sub"), 0);
  EXPECT_EQ(Current(fixed), "/sub");
  ASSERT_EQ(DiskSetCurrentPath(fixed, "/"), 0);
  EXPECT_EQ(Current(fixed), "/");
  EXPECT_EQ(DiskPathKind(fixed, "sub"), 2);
}

TEST_F(VolumeApi, HandlesSlotsAndOpenFilesAreGuarded) {
  ASSERT_EQ(Put("/0/a", "aaa"), 0);
  // Sixteen open files per volume; the seventeenth is refused and a failed open takes no slot.
  std::vector<DiskHandle> handles;
  int err = 0;
  for (int i = 0; i < FAT_FILE_SLOTS; ++i) {
    const DiskHandle h = DiskFileOpen(table, "/0/a", DISK_OPEN_READ, &err);
    ASSERT_NE(h, 0u) << i;
    EXPECT_EQ(h & 0xFFFF, 0x0103u);  // drive 1, FAT
    handles.push_back(h);
  }
  EXPECT_EQ(DiskFileOpen(table, "/0/a", DISK_OPEN_READ, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_TOO_MANY_OPEN);
  ASSERT_NE(DiskFileOpen(table, "/1/other", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err), 0u);  // its own slots
  EXPECT_EQ(DiskFileClose(table, handles.back()), 0);
  handles.pop_back();
  EXPECT_EQ(DiskFileOpen(table, "/0/missing", DISK_OPEN_READ, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_NOT_FOUND);
  const DiskHandle again = DiskFileOpen(table, "/0/a", DISK_OPEN_READ, &err);
  EXPECT_NE(again, 0u);
  handles.push_back(again);
  while (handles.size() > 2) {
    EXPECT_EQ(DiskFileClose(table, handles.back()), 0);
    handles.pop_back();
  }

  // An open file is neither deleted, renamed nor opened for writing a second time.
  EXPECT_EQ(DiskDelete(table, "/0/a"), SYS_ERR_ACCESS);
  EXPECT_EQ(DiskRename(table, "/0/a", "/0/b"), SYS_ERR_ACCESS);
  EXPECT_EQ(DiskFileOpen(table, "/0/a", DISK_OPEN_READ | DISK_OPEN_WRITE, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  EXPECT_EQ(DiskFileOpen(table, "/0/a", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  for (const DiskHandle h : handles) EXPECT_EQ(DiskFileClose(table, h), 0);
  const DiskHandle writer = DiskFileOpen(table, "/0/a", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
  ASSERT_NE(writer, 0u);
  EXPECT_EQ(DiskFileOpen(table, "/0/a", DISK_OPEN_READ, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  EXPECT_EQ(DiskFileClose(table, writer), 0);
  EXPECT_EQ(DiskDelete(table, "/0/a"), 0);

  // Bad handles.
  char buffer[8];
  for (const DiskHandle bad : {0u, DISK_NO_HANDLE, 0x00000903u, 0x00100103u, 0x00000104u, writer})
    EXPECT_EQ(DiskFileRead(table, bad, buffer, 8), SYS_ERR_INVALID) << std::hex << bad;
  EXPECT_EQ(DiskGetFileSize(table, writer), -1);
}

TEST_F(VolumeApi, RefusalsByKindOfEntryAndVolume) {
  ASSERT_EQ(DiskMkdir(table, "/0/dir"), 0);
  ASSERT_EQ(Put("/0/file", "x"), 0);
  EXPECT_EQ(DiskRename(table, "/0/file", "/1/file"), SYS_ERR_OTHER);
  EXPECT_EQ(DiskRmdir(table, "/0/file"), SYS_ERR_PATH);
  EXPECT_EQ(DiskDelete(table, "/0/dir"), SYS_ERR_NOT_FOUND);
  EXPECT_EQ(DiskMkdir(table, "/0/dir"), SYS_ERR_EXISTS);
  EXPECT_EQ(DiskMkdir(table, "/0/no/such"), SYS_ERR_PATH);
  EXPECT_EQ(DiskMkdir(table, "/"), SYS_ERR_PATH);
  EXPECT_EQ(DiskDelete(table, "/"), SYS_ERR_NOT_FOUND);
  int err = 0;
  EXPECT_EQ(DiskFileOpen(table, "/0/dir", DISK_OPEN_READ, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_NOT_FOUND);
  EXPECT_EQ(DiskFileOpen(table, "/0/file/x", DISK_OPEN_READ, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_PATH);
  EXPECT_EQ(DiskFileInfo(table, "/0/file/"), SYS_ERR_NOT_FOUND);  // a trailing "/" names a folder
  EXPECT_EQ(DiskPathKind(table, "/0/dir/"), 2);
  EXPECT_EQ(DiskFileInfo(table, "/"), static_cast<int>(DISK_ATTR_FOLDER));
  EXPECT_EQ(DiskFileInfo(table, "/1"), static_cast<int>(DISK_ATTR_FOLDER));
  EXPECT_EQ(DiskGetFileSizeByPath(table, "/0/file"), 1);

  // Attributes both ways; the folder and exFAT bits are no FAT attributes.
  EXPECT_EQ(DiskFileInfo(table, "/0/file"), static_cast<int>(DISK_ATTR_READABLE | DISK_ATTR_WRITABLE | DISK_ATTR_ARCHIVE));
  EXPECT_EQ(DiskSetAttributes(table, "/0/file", DISK_ATTR_READABLE | DISK_ATTR_HIDDEN), 0);
  EXPECT_EQ(DiskFileInfo(table, "/0/file"), static_cast<int>(DISK_ATTR_READABLE | DISK_ATTR_HIDDEN));
  EXPECT_EQ(DiskFileOpen(table, "/0/file", DISK_OPEN_READ | DISK_OPEN_WRITE, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  EXPECT_EQ(DiskFileOpen(table, "/0/file", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err), 0u);  // never emptied
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  EXPECT_EQ(DiskDelete(table, "/0/file"), SYS_ERR_ACCESS);
  // A Unix mode above the word: its owner write bit counts as well.
  EXPECT_EQ(DiskSetAttributes(table, "/0/file", 0644u << 16 | DISK_ATTR_WRITABLE | DISK_ATTR_ARCHIVE), 0);
  EXPECT_EQ(DiskFileInfo(table, "/0/file"), static_cast<int>(DISK_ATTR_READABLE | DISK_ATTR_WRITABLE | DISK_ATTR_ARCHIVE));
  EXPECT_EQ(DiskSetAttributes(table, "/0/file", 0444u << 16 | DISK_ATTR_WRITABLE), 0);
  EXPECT_EQ(DiskFileInfo(table, "/0/file"), static_cast<int>(DISK_ATTR_READABLE));
  EXPECT_EQ(DiskSetAttributes(table, "/0/file", DISK_ATTR_FOLDER), SYS_ERR_INVALID);
  EXPECT_EQ(DiskSetAttributes(table, "/0/file", 0x100), SYS_ERR_INVALID);
  EXPECT_EQ(DiskSetAttributes(table, "/", DISK_ATTR_WRITABLE), 16);
  EXPECT_EQ(DiskSetAttributes(table, "/0", DISK_ATTR_WRITABLE), SYS_ERR_NAME_TOO_LONG);
  EXPECT_EQ(DiskSetAttributes(table, "/0/dir", DISK_ATTR_WRITABLE | DISK_ATTR_HIDDEN), 0);
  EXPECT_EQ(DiskFileInfo(table, "/0/dir"),
            static_cast<int>(DISK_ATTR_READABLE | DISK_ATTR_WRITABLE | DISK_ATTR_FOLDER | DISK_ATTR_HIDDEN));
}

// Names that one FAT folder keeps as one entry share a key; names it cannot hold have none.
TEST_F(VolumeApi, NameKeysFollowWhatAFatFolderTellsApart) {
  const auto key = [&](const char* name) { return DiskNameKey(table, "/0/dir", name); };
  EXPECT_EQ(key("readme.txt"), key("README.TXT"));
  EXPECT_EQ(key("abc. "), key("abc"));
  EXPECT_EQ(key("\xC3\xA4rger"), key("\xC3\x84RGER"));
  EXPECT_NE(key("a.txt"), key("b.txt"));
  for (const char* name : {"x:y", "tab\tx", "a\\b", "l\xE4t", "...", ""}) EXPECT_EQ(key(name), "") << name;
  EXPECT_EQ(key(std::string(256, 'a').c_str()), "");
  // Only a FAT volume folds; the drive list keeps names as given.
  EXPECT_EQ(DiskNameKey(table, "/", "Abc"), "Abc");
}

TEST_F(VolumeApi, SearchesOfFoldersEntriesAndTheDriveList) {
  ASSERT_EQ(DiskMkdir(table, "/0/empty"), 0);
  ASSERT_EQ(Put("/0/readme.txt", "r"), 0);
  ASSERT_EQ(Put("/0/Makefile", "m"), 0);
  DiskFindRecord record;
  int err = 0;
  EXPECT_EQ(DiskFindFirst(table, "/0/empty/*.txt", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_INVALID);  // nothing matched
  EXPECT_EQ(DiskFindFirst(table, "/0/missing/*", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_PATH);
  EXPECT_EQ(DiskFindFirst(table, "/0/readme.txt/*", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_PATH);
  EXPECT_EQ(DiskFindFirst(table, "/0/readme.txt", nullptr, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_INVALID);
  // One entry by its name needs no handle.
  EXPECT_EQ(DiskFindFirst(table, "/0/README.TXT", &record, &err), DISK_NO_HANDLE);
  EXPECT_STREQ(record.name, "readme.txt");
  EXPECT_EQ(record.size, 1u);
  EXPECT_EQ(DiskFindNext(table, DISK_NO_HANDLE, &record), SYS_ERR_NOT_FOUND);
  EXPECT_EQ(DiskFindClose(table, DISK_NO_HANDLE), 0);
  EXPECT_EQ(DiskFindFirst(table, "/0", &record, &err), DISK_NO_HANDLE);  // the volume itself
  EXPECT_STREQ(record.name, "0");
  EXPECT_EQ(record.attributes, DISK_ATTR_FOLDER);
  EXPECT_EQ(DiskFindFirst(table, "/0/missing", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_NOT_FOUND);
  // Patterns match without regard to case.
  const auto names = [&](const char* pattern) {
    std::string out;
    DiskFindRecord r;
    int e = 0;
    const DiskHandle h = DiskFindFirst(table, pattern, &r, &e);
    if (!h) return "<" + std::to_string(e) + ">";
    do out += std::string(r.name) + " ";
    while (DiskFindNext(table, h, &r) == 0);
    EXPECT_EQ(DiskFindClose(table, h), 0);
    EXPECT_EQ(DiskFindClose(table, h), SYS_ERR_INVALID);
    return out;
  };
  EXPECT_EQ(names("/0/*.TXT"), "readme.txt ");
  EXPECT_EQ(names("/0/make*"), "Makefile ");
  EXPECT_EQ(names("/0/*"), "empty readme.txt Makefile ");
  EXPECT_EQ(names("/0/?????"), "empty ");
  // The drive list by patterns over volume names.
  EXPECT_EQ(names("/*"), "0 1 ");
  EXPECT_EQ(names("*"), "0 1 ");
  EXPECT_EQ(names("/?"), "0 1 ");
  EXPECT_EQ(names("/1*"), "1 ");
  EXPECT_EQ(names("/A*"), "<-1>");
  EXPECT_EQ(names("/********"), "<-7>");  // eight characters: no pattern
  EXPECT_EQ(names("/*.x"), "<-7>");
  // Eight searches of the drive list at once.
  std::vector<DiskHandle> open;
  for (int i = 0; i < DISK_LIST_SLOTS; ++i) open.push_back(DiskFindFirst(table, "/*", &record, &err));
  EXPECT_EQ(DiskFindFirst(table, "/*", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_TOO_MANY_OPEN);
  for (const DiskHandle h : open) EXPECT_EQ(DiskFindClose(table, h), 0);
  // Eight folder searches per volume.
  open.clear();
  std::set<u32> slots;
  for (int i = 0; i < FAT_DIR_SLOTS; ++i) {
    open.push_back(DiskFindFirst(table, "/0/*", &record, &err));
    slots.insert(open.back() >> 16);
  }
  EXPECT_EQ(slots.size(), 8u);
  EXPECT_EQ(*slots.begin(), 4096u);
  EXPECT_EQ(*slots.rbegin(), 4103u);
  EXPECT_EQ(DiskFindFirst(table, "/0/*", &record, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_TOO_MANY_OPEN);
  for (const DiskHandle h : open) EXPECT_EQ(DiskFindClose(table, h), 0);
}

TEST_F(VolumeApi, ReadOnlyDrivesRefuseWritesBeforeTheEngineIsAsked) {
  DiskDetach(table, 0);
  auto state = std::make_shared<FakeMediumState>();
  {
    std::string bytes = ReadFile(image);
    state->byteSize = bytes.size();
    state->Put(0, bytes.data(), bytes.size());
  }
  DiskDriveTable ro;
  ASSERT_EQ(DiskAttachMedium(ro, std::make_unique<FakeMedium>(state, false), "ro", DISK_ATTACH_READ_ONLY, nullptr,
                             DISK_ALL_PARTITIONS),
            3);
  const int reads = state->reads;
  int err = 0;
  EXPECT_EQ(DiskFileOpen(ro, "/0/new", DISK_OPEN_CREATE, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  EXPECT_EQ(DiskFileOpen(ro, "/0/new", DISK_OPEN_WRITE, &err), 0u);
  EXPECT_EQ(err, SYS_ERR_ACCESS);
  EXPECT_EQ(state->reads, reads);  // no engine call
  EXPECT_EQ(DiskMkdir(ro, "/0/d"), SYS_ERR_ACCESS);
  EXPECT_EQ(state->writes, 0);
}

TEST_F(VolumeApi, DetachClosesAndWritesOutWhatIsOpen) {
  int err = 0;
  const DiskHandle writer = DiskFileOpen(table, "/0/open.txt", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
  ASSERT_NE(writer, 0u);
  ASSERT_EQ(DiskFileWrite(table, writer, "unwritten", 9), 9);
  DiskFindRecord record;
  ASSERT_NE(DiskFindFirst(table, "/0/*", &record, &err), 0u);
  ASSERT_NE(DiskFindFirst(table, "/*", &record, &err), 0u);
  DiskDetach(table, 0);
  EXPECT_FSCK_CLEAN(image, 2048 * 512, 20480 * 1024);
  EXPECT_EQ(Mtype(image, "/open.txt", 2048 * 512), "unwritten");
}

}  // namespace
