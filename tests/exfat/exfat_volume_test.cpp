// exFAT engine: boot checks, the dirty bit and share in use, times, names, removal and rename rules, allocation.
#include "FileSystem/Exfat/exfat_engine.h"
#include "FileSystem/Volume/volume_exfat.h"
#include "tests/exfat/exfat_fixtures.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;

TEST(ExfatMount, RefusesBadBootRegionsAndKeepsTheDirtyBitAndShareInUse) {
  TempDir dir("exfat-mount", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  auto refused = [&](const std::function<void(RawImage&)>& damage) {
    const std::string copy = dir / "copy.img";
    MustRun("cp " + Quote(image) + " " + Quote(copy));
    RawImage raw(copy);
    damage(raw);
    DiskDriveTable table;
    if (DiskAttach(table, copy.c_str(), DISK_ATTACH_CLEAR | DISK_ATTACH_READ_ONLY, nullptr, DISK_ALL_PARTITIONS) != 2)
      return -100;
    const bool mounted = table.fileSystem[1] != nullptr;
    ExfatVolume v(table, 1);
    const int r = ExfatMount(v, table, 1, "noatime,ro");
    EXPECT_EQ(mounted, r == 0);
    return r;
  };
  EXPECT_EQ(refused([](RawImage&) {}), 0);
  for (const u64 word : {0, 17, 127}) EXPECT_EQ(refused([&](RawImage& r) { r.Patch(11 * 512 + 4 * word, {0x5A}); }), EXFAT_EIO);
  EXPECT_EQ(refused([](RawImage& r) { r.Patch(104, {0x01, 0x01}), r.SealBoot(); }), EXFAT_EIO);  // version 1.1
  EXPECT_EQ(refused([](RawImage& r) { r.Patch(110, {2}), r.SealBoot(); }), EXFAT_EIO);            // two FATs
  EXPECT_EQ(refused([](RawImage& r) { r.Patch(108, {13}), r.SealBoot(); }), EXFAT_EIO);           // 8 KiB sectors
  EXPECT_EQ(refused([](RawImage& r) { r.Patch(92, {0xFF, 0xFF, 0x0F}), r.SealBoot(); }), EXFAT_EIO);  // past the end

  {
    AttachedImage a(image);
    ASSERT_EQ(a.drives(), 2);
    EXPECT_EQ(RawImage(image).Read(106, 1)[0] & 2, 2) << "dirty while mounted for writing";
    EXPECT_EQ(a.Put("/groß", std::string(5 << 20, 'x')), 0);
  }
  EXPECT_EQ(RawImage(image).Read(106, 1)[0] & 2, 0);
  EXPECT_EXFAT_CLEAN(image);
  const double total = DumpField(image, "Total Clusters:"), free = DumpField(image, "Free Clusters:");
  EXPECT_EQ(RawImage(image).Read(112, 1)[0], static_cast<int>(((total - free) * 100 + total / 2) / total));

  // A read-only drive: mounted, readable, and nothing on it changes.
  const std::string before = ReadFile(image);
  {
    AttachedImage a(image, true);
    ASSERT_EQ(a.drives(), 2);
    EXPECT_EQ(a.Get("/groß").size(), 5u << 20);
    int err = 0;
    EXPECT_EQ(DiskFileOpen(a.table(), "/groß", DISK_OPEN_WRITE, &err), 0u);
    EXPECT_EQ(err, SYS_ERR_ACCESS);
    EXPECT_EQ(DiskMkdir(a.table(), "/neu"), SYS_ERR_ACCESS);
    EXPECT_EQ(DiskDelete(a.table(), "/groß"), SYS_ERR_ACCESS);
  }
  EXPECT_TRUE(ReadFile(image) == before);
}

TEST(ExfatTimes, LocalFieldsCarryTheirOffsetAndReadBackAsTheSameMoment) {
  const ScopedTimeZone zone("Europe/Berlin");
  TempDir dir("exfat-times", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  const u32 summer = 1719835201;  // 1 July 2024 12:00:01 UTC, an odd second
  const u32 winter = 1705320000;  // 15 January 2024
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/t.txt", "t"), 0);
    ASSERT_EQ(a.Put("/alt.txt", "a"), 0);
    int err = 0;
    DiskHandle h = DiskFileOpen(a.table(), "/t.txt", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
    ASSERT_EQ(DiskSetFileTime(a.table(), h, summer, winter, 0), 0);
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
    h = DiskFileOpen(a.table(), "/alt.txt", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
    ASSERT_EQ(DiskSetFileTime(a.table(), h, 100000000, 0, 0), 0);  // 1973
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
  }
  EXPECT_EXFAT_CLEAN(image);
  RawImage raw(image);
  const u64 set = raw.FindSet("t.txt");
  // 14:00:00 local, the odd second in the increment, and +2 hours in the offset byte.
  EXPECT_EQ(raw.Le32(set + 12), (44u << 25) | (7u << 21) | (1u << 16) | (14u << 11));
  EXPECT_EQ(raw.Read(set + 21, 1)[0], 100);
  EXPECT_EQ(raw.Read(set + 23, 1)[0], 0x80 | 8);
  EXPECT_EQ(raw.Read(set + 22, 1)[0], 0x80 | 4);
  EXPECT_EQ(raw.Le32(raw.FindSet("alt.txt") + 12), 0x00210000u) << "before 1980: 1 January 1980";
  {
    // Another zone reads the same moments.
    const ScopedTimeZone ny("America/New_York");
    AttachedImage a(image);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/t.txt", DISK_OPEN_READ, &err);
    i64 w = 0, c = 0, x = 0;
    ASSERT_EQ(DiskGetFileTime(a.table(), h, &w, &c, &x), 0);
    EXPECT_EQ(w, summer);
    EXPECT_EQ(c, winter);
    DiskFileClose(a.table(), h);
  }
  // Fields written by a system that keeps UTC (offset valid, zero) are UTC, whatever the zone.
  raw.Patch(set + 12, {0x00, 0x60, 0xC1, 0x58});  // 2024-06-01 12:00:00
  raw.Patch(set + 21, {0, 0x80, 0x80});
  raw.SealSet(set);
  EXPECT_EXFAT_CLEAN(image);
  {
    AttachedImage a(image);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/t.txt", DISK_OPEN_READ | DISK_OPEN_WRITE, &err);
    i64 w = 0;
    ASSERT_EQ(DiskGetFileTime(a.table(), h, &w, nullptr, nullptr), 0);
    EXPECT_EQ(w, 1717243200);
    // A rewrite of another time keeps this one the same moment.
    ASSERT_EQ(DiskSetFileTime(a.table(), h, 0, winter, 0), 0);
    DiskFileClose(a.table(), h);
  }
  {
    AttachedImage a(image);
    EXPECT_EQ(RawImage(image).Read(set + 23, 1)[0], 0x80 | 8);
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/t.txt", DISK_OPEN_READ, &err);
    i64 w = 0;
    ASSERT_EQ(DiskGetFileTime(a.table(), h, &w, nullptr, nullptr), 0);
    EXPECT_EQ(w, 1717243200);
    DiskFileClose(a.table(), h);
  }
  // Fields that name no time (month 13, a 10-ms increment of 2 seconds) give none.
  raw.Patch(set + 12, {0x00, 0x60, 0xA1, 0x59});
  raw.Patch(set + 20, {200});
  raw.SealSet(set);
  AttachedImage a(image, true);
  int err = 0;
  const DiskHandle h = DiskFileOpen(a.table(), "/t.txt", DISK_OPEN_READ, &err);
  i64 w = 1, c = 1;
  ASSERT_EQ(DiskGetFileTime(a.table(), h, &w, &c, nullptr), 0);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(c, 0u);
  DiskFileClose(a.table(), h);
}

TEST(ExfatNames, EntryCountsBoundsCharactersAndCase) {
  TempDir dir("exfat-names", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/fünfzehn_zeich1", "15"), 0);
    ASSERT_EQ(a.Put("/sechzehn_zeiche1", "16"), 0);
    ASSERT_EQ(Node(a, "fünfzehn_zeich1")->entryCount, 3u);
    ASSERT_EQ(Node(a, "sechzehn_zeiche1")->entryCount, 4u);
    const std::string longest(255, 'n');
    EXPECT_EQ(a.Put("/" + longest, "x"), 0);
    EXPECT_EQ(Node(a, longest)->entryCount, 19u);
    EXPECT_EQ(a.Put("/" + longest + "n", "x"), SYS_ERR_NAME_TOO_LONG);
    for (const char* bad : {"/a:b", "/a*b", "/a?b", "/a|b", "/a<b", "/a\"b", "/a\x01"})
      EXPECT_EQ(a.Put(bad, "x"), SYS_ERR_NOT_FOUND) << bad;
    // Names compare through the volume's upcase table.
    EXPECT_EQ(a.Get("/FÜNFZEHN_ZEICH1"), "15");
    EXPECT_EQ(a.Put("/SECHZEHN_ZEICHE1", "neu"), 0);
    EXPECT_EQ(a.List("/").size(), 3u);
    EXPECT_EQ(a.Get("/sechzehn_zeiche1"), "neu");
  }
  EXPECT_EXFAT_CLEAN(image);
}

TEST(ExfatTree, RemovalAndRenameRules) {
  TempDir dir("exfat-tree", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  const u64 fresh = FreeClusters(image);
  {
    AttachedImage a(image);
    DiskDriveTable& t = a.table();
    ASSERT_EQ(DiskMkdir(t, "/d"), 0);
    ASSERT_EQ(DiskMkdir(t, "/d/sub"), 0);
    ASSERT_EQ(DiskMkdir(t, "/leer"), 0);
    ASSERT_EQ(a.Put("/d/f", "f"), 0);
    ASSERT_EQ(a.Put("/g", "g"), 0);
    ExfatNode* d = nullptr;
    ASSERT_EQ(ExfatLookup(Engine(a), &d, "d"), 0);
    EXPECT_EQ(ExfatRmdir(Engine(a), *d), EXFAT_ENOTEMPTY);
    ExfatPutNode(Engine(a), d);
    EXPECT_EQ(DiskRmdir(t, "/d"), SYS_ERR_OTHER);
    EXPECT_EQ(DiskRmdir(t, "/g"), SYS_ERR_PATH);
    EXPECT_EQ(DiskDelete(t, "/d"), SYS_ERR_NOT_FOUND);
    EXPECT_EQ(DiskRename(t, "/d", "/d/sub/d"), SYS_ERR_OTHER);
    EXPECT_EQ(ExfatRename(Engine(a), "d", "d/sub/d"), EXFAT_EINVAL);
    EXPECT_EQ(DiskRename(t, "/g", "/d/f"), SYS_ERR_EXISTS) << "the volume API never replaces";
    EXPECT_EQ(DiskRename(t, "/g", "/G"), 0);
    EXPECT_EQ(a.List("/"), (std::vector<std::string>{"G", "d/", "leer/"}));
    // The engine's own rename replaces a file by a file and an empty folder by a folder only.
    EXPECT_EQ(ExfatRename(Engine(a), "G", "d"), EXFAT_ENOTDIR);
    EXPECT_EQ(ExfatRename(Engine(a), "leer", "G"), EXFAT_EISDIR);
    EXPECT_EQ(ExfatRename(Engine(a), "leer", "d"), EXFAT_ENOTEMPTY);
    EXPECT_EQ(ExfatRename(Engine(a), "G", "d/f"), 0);
    EXPECT_EQ(a.Get("/d/f"), "g");
    EXPECT_EQ(ExfatRename(Engine(a), "d/sub", "leer"), 0);
    EXPECT_EQ(a.List("/d"), (std::vector<std::string>{"f"}));
    EXPECT_EQ(DiskRmdir(t, "/leer"), 0);
    EXPECT_EQ(DiskDelete(t, "/d/f"), 0);
    EXPECT_EQ(DiskRmdir(t, "/d"), 0);
    EXPECT_TRUE(a.List("/").empty());
  }
  EXPECT_EXFAT_CLEAN(image);
  EXPECT_EQ(FreeClusters(image), fresh);
}

TEST(ExfatAllocation, ContiguousFilesChainsAndAFullVolume) {
  TempDir dir("exfat-alloc", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  {
    AttachedImage a(image);
    ASSERT_EQ(a.Put("/eins", std::string(100000, '1')), 0);
    EXPECT_TRUE(Node(a, "eins")->flags & EXFAT_NODE_CONTIGUOUS);
    int err = 0;
    const DiskHandle x = DiskFileOpen(a.table(), "/x", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    const DiskHandle y = DiskFileOpen(a.table(), "/y", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    const std::string block(5000, 'b');
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(DiskFileWrite(a.table(), x, block.data(), 5000), 5000);
      ASSERT_EQ(DiskFileWrite(a.table(), y, block.data(), 5000), 5000);
    }
    EXPECT_FALSE(Node(a, "x")->flags & EXFAT_NODE_CONTIGUOUS);
    DiskFileClose(a.table(), x);
    DiskFileClose(a.table(), y);
    // Seeking past the end and writing leaves zeros between.
    const DiskHandle z = DiskFileOpen(a.table(), "/z", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    EXPECT_EQ(DiskFileSeek(a.table(), z, 10000, 0), 10000);
    EXPECT_EQ(DiskFileWrite(a.table(), z, "z", 1), 1);
    EXPECT_EQ(DiskFileSeek(a.table(), z, -1, 0), SYS_ERR_INVALID);
    DiskFileClose(a.table(), z);
    EXPECT_EQ(a.Get("/z"), std::string(10000, '\0') + "z");
    EXPECT_EQ(a.Put("/voll", std::string(20 << 20, 'v')), SYS_ERR_DISK_FULL);
    EXPECT_EQ(a.Get("/voll"), "");
    EXPECT_EQ(DiskDelete(a.table(), "/eins"), 0);
    EXPECT_EQ(a.Put("/wieder", std::string(50000, 'w')), 0);
  }
  EXPECT_EXFAT_CLEAN(image);
  EXPECT_EQ(Icat(image, FlsAll(image).at("x")), std::string(20000, 'b'));
  EXPECT_EQ(Icat(image, FlsAll(image).at("wieder")), std::string(50000, 'w'));
}

TEST(ExfatVolumeApi, HandlesSearchesAttributesAndTheNodeCache) {
  TempDir dir("exfat-api", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  {
    AttachedImage a(image);
    DiskDriveTable& t = a.table();
    ASSERT_EQ(DiskMkdir(t, "/d"), 0);
    ASSERT_EQ(a.Put("/f.txt", "f"), 0);
    int err = 0;
    EXPECT_EQ(DiskFileOpen(t, "/d", DISK_OPEN_READ, &err), 0u);
    EXPECT_EQ(err, SYS_ERR_NOT_FOUND);
    std::vector<DiskHandle> open;
    for (int i = 0; i < 16; ++i) open.push_back(DiskFileOpen(t, "/f.txt", DISK_OPEN_READ, &err));
    EXPECT_EQ(std::count(open.begin(), open.end(), 0u), 0);
    EXPECT_EQ(DiskFileOpen(t, "/f.txt", DISK_OPEN_READ, &err), 0u);
    EXPECT_EQ(err, SYS_ERR_TOO_MANY_OPEN);
    for (const DiskHandle h : open) EXPECT_EQ(DiskFileClose(t, h), 0);
    EXPECT_EQ(DiskFileClose(t, open[0]), SYS_ERR_INVALID);

    DiskFindRecord record;
    EXPECT_EQ(DiskFindFirst(t, "/d/*.txt", &record, &err), 0u);
    EXPECT_EQ(err, SYS_ERR_INVALID);
    EXPECT_EQ(DiskFindFirst(t, "/f.txt", &record, &err), DISK_NO_HANDLE);
    EXPECT_STREQ(record.name, "f.txt");
    EXPECT_EQ(DiskFindNext(t, DISK_NO_HANDLE, &record), SYS_ERR_NOT_FOUND);
    EXPECT_EQ(DiskFindFirst(t, "/f.txt/*", &record, &err), 0u);
    EXPECT_EQ(err, SYS_ERR_PATH);
    EXPECT_EQ(DiskPathKind(t, "/f.txt/"), 0);
    EXPECT_EQ(DiskPathKind(t, "/d/"), 2);

    // Read-only, hidden and system; a folder keeps its attributes.
    EXPECT_EQ(DiskSetAttributes(t, "/f.txt", DISK_ATTR_READABLE | DISK_ATTR_HIDDEN | DISK_ATTR_SYSTEM), 0);
    EXPECT_EQ(DiskFileInfo(t, "/f.txt"), static_cast<int>(DISK_ATTR_READABLE | DISK_ATTR_HIDDEN | DISK_ATTR_SYSTEM));
    for (const int mode : {int{DISK_OPEN_WRITE}, DISK_OPEN_READ | DISK_OPEN_CREATE}) {
      EXPECT_EQ(DiskFileOpen(t, "/f.txt", mode, &err), 0u);
      EXPECT_EQ(err, SYS_ERR_ACCESS);
    }
    EXPECT_EQ(a.Get("/f.txt"), "f");
    EXPECT_EQ(DiskSetAttributes(t, "/d", DISK_ATTR_READABLE), SYS_ERR_ACCESS);
    EXPECT_EQ(DiskFileInfo(t, "/d"), static_cast<int>(DISK_ATTR_READABLE | DISK_ATTR_WRITABLE | DISK_ATTR_FOLDER));

    // Folders read once stay as nodes until the cache is trimmed; then they are read again.
    for (int i = 0; i < 10; ++i) {
      const std::string folder = "/d/" + std::to_string(i);
      ASSERT_EQ(DiskMkdir(t, folder.c_str()), 0);
      ASSERT_EQ(a.Put(folder + "/x", std::to_string(i)), 0);
    }
  }
  {
    AttachedImage a(image);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(a.Get("/d/" + std::to_string(i) + "/x"), std::to_string(i));
    EXPECT_EQ(Engine(a).loadedDirs, 12);
    ExfatTrim(Engine(a), 0);
    EXPECT_LT(Engine(a).loadedDirs, 12);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(a.Get("/d/" + std::to_string(i) + "/x"), std::to_string(i));
  }
  EXPECT_EXFAT_CLEAN(image);
}

// Names one exFAT folder keeps as one entry share a key (so "Ftp Del" never takes a just-written
// README.TXT for surplus beside readme.txt); names it cannot hold have none.
TEST(ExfatNames, NameKeysFollowTheUpcaseTable) {
  TempDir dir("exfat-keys", ImageBase());
  const std::string image = MakeExfatImage(dir, "v.img", "4K", 16);
  AttachedImage a(image, false);
  ASSERT_EQ(a.drives(), 2);
  const auto key = [&](const char* name) { return DiskNameKey(a.table(), "/", name); };
  EXPECT_EQ(key("readme.txt"), key("README.TXT"));
  EXPECT_EQ(key("\xC3\xA4rger"), key("\xC3\x84RGER"));
  EXPECT_NE(key("a.txt"), key("b.txt"));
  for (const char* name : {"x:y", "tab\tx", "a\\b", "l\xE4t", "..", ""}) EXPECT_EQ(key(name), "") << name;
}

}  // namespace
