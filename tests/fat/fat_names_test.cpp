// FAT names: short names with lower-case flags, numbered and hashed aliases, long names of every kind, names refused.
#include "FileSystem/Fat/fat_engine.h"
#include "FileSystem/Fat/fat_names.h"
#include "FileSystem/Volume/volume_fat.h"
#include "tests/support/fat_images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>

namespace {

using namespace kpwtest;

std::u16string U16(const std::string& utf8) {
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    u32 cp;
    int n;
    if (c < 0x80) cp = c, n = 1;
    else if (c < 0xE0) cp = c & 0x1F, n = 2;
    else if (c < 0xF0) cp = c & 0x0F, n = 3;
    else cp = c & 0x07, n = 4;
    for (int k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += static_cast<std::size_t>(n);
  }
  return out;
}

std::string U8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    u32 cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size()) cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (cp < 0x80) out += static_cast<char>(cp);
    else if (cp < 0x800) out += static_cast<char>(0xC0 | cp >> 6), out += static_cast<char>(0x80 | (cp & 0x3F));
    else if (cp < 0x10000)
      out += static_cast<char>(0xE0 | cp >> 12), out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
          out += static_cast<char>(0x80 | (cp & 0x3F));
    else
      out += static_cast<char>(0xF0 | cp >> 18), out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
          out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

class FatNames : public ::testing::Test {
 protected:
  void SetUp() override { image = MakeFatImage(dir, "names.img", 16, 20000); }
  FatVolume& Volume(AttachedImage& a) { return *dynamic_cast<FatVolume*>(a.table().fileSystem[1].get()); }
  FatEntryInfo Stat(AttachedImage& a, const std::string& path) {
    FatEntryInfo info;
    EXPECT_EQ(FatStat(Volume(a), U16(path), info), FAT_OK) << path;
    return info;
  }
  // The 32 raw bytes of the short entry of a path.
  std::array<u8, 32> Raw(AttachedImage& a, const std::string& path) {
    const FatEntryInfo info = Stat(a, path);
    std::array<u8, 32> raw{};
    u8 sector[512];
    EXPECT_EQ(DiskRead(a.table(), 1, sector, info.entry.sector, 1), DISK_OK);
    std::memcpy(raw.data(), sector + (info.entry.index % 16) * 32, 32);
    return raw;
  }
  TempDir dir{"fat-names", ImageBase()};
  std::string image;
};

TEST_F(FatNames, ShortNamesLowerCaseFlagsAndLongNames) {
  {
    AttachedImage a(image);
    for (const char* name : {"readme.txt", "README2.TXT", "a+b.txt", "my file.txt", "MixedCase.Txt", "Abc.txt",
                             "Õx.txt", "makefile", "archive.TAR", ".gitignore", "日本.txt"})
      ASSERT_EQ(a.Put(std::string("/") + name, name), 0) << name;
    const struct {
      const char* name;
      const char* shortName;  // as listed, with the flags applied
      u8 flags;
      bool longName;
    } cases[] = {
        {"readme.txt", "readme.txt", 0x18, false},  // as mtools writes it
        {"README2.TXT", "README2.TXT", 0x00, false},
        {"a+b.txt", "A_B~1.TXT", 0x00, true},
        {"my file.txt", "MYFILE~1.TXT", 0x00, true},
        {"MixedCase.Txt", "MIXEDC~1.TXT", 0x00, true},  // as mtools writes it
        {"Abc.txt", "ABC.TXT", 0x00, true},             // the case alone needs no number
        {"Õx.txt", "ÕX.TXT", 0x00, true},
        {"makefile", "makefile", 0x08, false},
        {"archive.TAR", "archive.TAR", 0x08, false},
        {".gitignore", "GITIGN~1", 0x00, true},
        {"日本.txt", "__~1.TXT", 0x00, true},
    };
    for (const auto& c : cases) {
      const FatEntryInfo info = Stat(a, c.name);
      EXPECT_EQ(U8(info.shortName), c.shortName) << c.name;
      EXPECT_EQ(info.caseFlags, c.flags) << c.name;
      EXPECT_EQ(U8(info.longName), c.longName ? c.name : "") << c.name;
    }
    // A first byte 0xE5 ("Õ" in code page 850) is stored as 0x05, so the entry is not taken for deleted.
    EXPECT_EQ(Raw(a, "Õx.txt")[0], 0x05);
    // Lookups ignore case, also beyond ASCII, and find entries by their short names.
    EXPECT_EQ(a.Get("/README.TXT"), "readme.txt");
    EXPECT_EQ(a.Get("/õX.TXT"), "Õx.txt");
    EXPECT_EQ(a.Get("/myfile~1.txt"), "my file.txt");
    EXPECT_EQ(a.List("/"), (std::vector<std::string>{".gitignore", "Abc.txt", "MixedCase.Txt", "README2.TXT",
                                                     "a+b.txt", "archive.TAR", "makefile", "my file.txt",
                                                     "readme.txt", "Õx.txt", "日本.txt"}));
  }
  EXPECT_FSCK_CLEAN(image);
  const std::string mdir = MustRun(Mtools("mdir", image, "-a ::/"));
  EXPECT_NE(mdir.find("readme   txt"), std::string::npos) << mdir;  // lower case from the flags
  EXPECT_NE(mdir.find("MIXEDC~1 TXT"), std::string::npos) << mdir;
}

TEST_F(FatNames, AliasesOfOneLongNameTakeHashTailsFromTheSixthOn) {
  std::set<std::string> shortNames;
  {
    AttachedImage a(image);
    for (int i = 1; i <= 9; ++i) {
      const std::string name = "long file name " + std::to_string(i) + ".txt";
      ASSERT_EQ(a.Put("/" + name, name), 0);
      const std::string shortName = U8(Stat(a, name).shortName);
      shortNames.insert(shortName);
      if (i <= 5) {
        EXPECT_EQ(shortName, "LONGFI~" + std::to_string(i) + ".TXT");
      } else {
        EXPECT_TRUE(std::regex_match(shortName, std::regex("LON[A-Z]{0,3}~[0-9A-F]{1,4}\\.TXT"))) << shortName;
        EXPECT_LE(shortName.size(), 12u);
      }
      EXPECT_EQ(a.Get("/" + name), name);
    }
  }
  EXPECT_EQ(shortNames.size(), 9u);
  EXPECT_FSCK_CLEAN(image);
  EXPECT_EQ(MdirAll(image).size(), 9u);
}

TEST_F(FatNames, AFolderOfSimilarNamesNeverRunsOutOfAliases) {
  // Names that differ in one digit: their aliases must still spread over the hash tails.
  const auto name = [](int i) { return "/many/file number " + std::to_string(i) + ".txt"; };
  {
    AttachedImage a(image);
    ASSERT_EQ(DiskMkdir(a.table(), "/many"), 0);
    for (int i = 0; i < 1500; ++i) ASSERT_EQ(a.Put(name(i), std::to_string(i)), 0) << i;
    // Freed entries are taken again, and every name still finds its file.
    for (int i = 0; i < 1500; i += 7) ASSERT_EQ(DiskDelete(a.table(), name(i).c_str()), 0);
    for (int i = 0; i < 1500; i += 7) ASSERT_EQ(a.Put(name(i) + ".new", "n"), 0);
    for (int i = 1; i < 1500; i += 7) EXPECT_EQ(a.Get(name(i)), std::to_string(i));
    EXPECT_EQ(a.List("/many").size(), 1500u);
  }
  EXPECT_FSCK_CLEAN(image);
  EXPECT_EQ(MdirAll(image).size(), 1501u);
}

TEST_F(FatNames, TheLongestNamesControlCharactersAndBadTextAreTold) {
  {
    AttachedImage a(image);
    const std::string longest(251, 'n');
    EXPECT_EQ(a.Put("/" + longest + ".txt", "255"), 0);
    EXPECT_EQ(a.Put("/" + longest + "x.txt", "256"), SYS_ERR_NAME_TOO_LONG);
    // 255 UTF-16 units of characters beyond ASCII and beyond the 16-bit plane.
    std::string wide;
    for (int i = 0; i < 120; ++i) wide += "ä";
    for (int i = 0; i < 67; ++i) wide += "😀";  // two units each
    wide += "x";
    EXPECT_EQ(U16(wide).size(), 255u);
    EXPECT_EQ(a.Put("/" + wide, "wide"), 0);
    EXPECT_EQ(a.Get("/" + wide), "wide");
    // A control character would cut the name; it is refused, and nothing is made.
    EXPECT_EQ(a.Put("/abc\tdef", "tab"), SYS_ERR_NAME_TOO_LONG);
    EXPECT_EQ(a.Put("/abc\ndef", "newline"), SYS_ERR_NAME_TOO_LONG);
    EXPECT_EQ(a.Put("/bad\xff.txt", "latin-1"), SYS_ERR_NAME_TOO_LONG);
    for (const char* bad : {"/a*b", "/a?b", "/a:b", "/a<b", "/a>b", "/a|b", "/a\"b", "/...", "/ . "})
      EXPECT_EQ(a.Put(bad, "x"), SYS_ERR_NAME_TOO_LONG) << bad;
    // Names that differ beyond Latin-1 stay apart.
    EXPECT_EQ(a.Put("/日本.txt", "japan"), 0);
    EXPECT_EQ(a.Put("/中国.txt", "china"), 0);
    EXPECT_EQ(a.Get("/日本.txt"), "japan");
    EXPECT_EQ(a.Get("/中国.txt"), "china");
    EXPECT_EQ(a.List("/"), (std::vector<std::string>{longest + ".txt", wide, "中国.txt", "日本.txt"}));
  }
  EXPECT_FSCK_CLEAN(image);
  EXPECT_EQ(Mtype(image, "/中国.txt"), "china");
}

TEST_F(FatNames, DotFilesAreListedAndKeepTheirFolderFromBeingRemoved) {
  {
    AttachedImage a(image);
    ASSERT_EQ(DiskMkdir(a.table(), "/repo"), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/repo/.git"), 0);
    ASSERT_EQ(a.Put("/repo/.gitignore", "*.o"), 0);
    EXPECT_EQ(a.List("/repo"), (std::vector<std::string>{".git/", ".gitignore"}));
    ASSERT_EQ(DiskRmdir(a.table(), "/repo/.git"), 0);
    // Only ".gitignore" is left: the folder is not empty.
    EXPECT_EQ(DiskRmdir(a.table(), "/repo"), SYS_ERR_ACCESS);
    EXPECT_EQ(a.Get("/repo/.gitignore"), "*.o");
    ASSERT_EQ(DiskDelete(a.table(), "/repo/.gitignore"), 0);
    EXPECT_EQ(DiskRmdir(a.table(), "/repo"), 0);
    EXPECT_TRUE(a.List("/").empty());
  }
  EXPECT_FSCK_CLEAN(image);
}

TEST_F(FatNames, RenamesChangeCaseMoveFoldersAndNeverIntoThemselves) {
  const std::string image32 = MakeFatImage(dir, "rename32.img", 32, 40000, "-s 1");
  {
    AttachedImage a(image32);
    ASSERT_EQ(a.Put("/readme.txt", "r"), 0);
    ASSERT_EQ(DiskRename(a.table(), "/readme.txt", "/README.txt"), 0);
    EXPECT_EQ(a.List("/"), std::vector<std::string>{"README.txt"});
    ASSERT_EQ(DiskMkdir(a.table(), "/a"), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/a/b"), 0);
    ASSERT_EQ(a.Put("/a/b/f", "f"), 0);
    EXPECT_EQ(DiskRename(a.table(), "/a", "/a/b/a"), SYS_ERR_INVALID);
    EXPECT_EQ(DiskRename(a.table(), "/a", "/a/x"), SYS_ERR_INVALID);
    EXPECT_EQ(DiskRename(a.table(), "/a/b", "/README.txt"), SYS_ERR_EXISTS);
    EXPECT_EQ(DiskRename(a.table(), "/missing", "/x"), SYS_ERR_NOT_FOUND);
    // A folder moved to the root of a FAT32 volume says 0 in its "..".
    ASSERT_EQ(DiskRename(a.table(), "/a/b", "/b"), 0);
    const std::array<u8, 32> dotdot = [&] {
      FatEntryInfo info;
      EXPECT_EQ(FatStat(Volume(a), u"/b", info), FAT_OK);
      FatVolume& v = Volume(a);
      u8 sector[512];
      EXPECT_EQ(DiskRead(a.table(), 1, sector, v.dataStart + u64{info.firstCluster - 2} * v.clusterSectors, 1),
                DISK_OK);
      std::array<u8, 32> raw{};
      std::memcpy(raw.data(), sector + 32, 32);
      return raw;
    }();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dotdot.data()), 11), "..         ");
    EXPECT_EQ(dotdot[20] | dotdot[21] | dotdot[26] | dotdot[27], 0);
    EXPECT_EQ(a.Get("/b/f"), "f");
    ASSERT_EQ(DiskRename(a.table(), "/b", "/a/b"), 0);
    EXPECT_EQ(a.Get("/a/b/f"), "f");
  }
  EXPECT_FSCK_CLEAN(image32);
  EXPECT_EQ(MdirAll(image32), (std::vector<std::string>{"/README.txt", "/a/", "/a/b/", "/a/b/f"}));
}

// A rename within its folder takes the old entries' place when the new name needs no more of
// them, so that renames in a folder of thousands of names do not each search it for room.
TEST_F(FatNames, ARenameInItsFolderTakesTheOldPlaceWhenTheNameFits) {
  {
    AttachedImage a(image);
    ASSERT_EQ(DiskMkdir(a.table(), "/d"), 0);
    for (const char* name : {"/d/a.txt", "/d/b.txt", "/d/c.txt", "/d/Long Name One.txt"}) ASSERT_EQ(a.Put(name, name), 0);
    const u32 at = Stat(a, "/d/a.txt").entry.index;
    ASSERT_EQ(DiskRename(a.table(), "/d/a.txt", "/d/z.txt"), 0);
    EXPECT_EQ(Stat(a, "/d/z.txt").entry.index, at);
    // A name that needs more entries goes where there is room.
    ASSERT_EQ(DiskRename(a.table(), "/d/b.txt", "/d/Another Long Name.txt"), 0);
    EXPECT_GT(Stat(a, "/d/Another Long Name.txt").entry.index, Stat(a, "/d/Long Name One.txt").entry.index);
    // The alias of the name replaced is free for the new one.
    const u32 longAt = Stat(a, "/d/Long Name One.txt").entry.index;
    ASSERT_EQ(DiskRename(a.table(), "/d/Long Name One.txt", "/d/Long Name Two.txt"), 0);
    EXPECT_EQ(Stat(a, "/d/Long Name Two.txt").entry.index, longAt);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Raw(a, "/d/Long Name Two.txt").data()), 11), "LONGNA~1TXT");
  }
  EXPECT_FSCK_CLEAN(image);
  EXPECT_EQ(MdirAll(image), (std::vector<std::string>{"/d/", "/d/Another Long Name.txt", "/d/Long Name Two.txt",
                                                      "/d/c.txt", "/d/z.txt"}));
  EXPECT_EQ(Mtype(image, "/d/Long Name Two.txt"), "/d/Long Name One.txt");
}

TEST_F(FatNames, AFullRootOrFolderIsTold) {
  // A FAT12 root of 16 entries; a volume of a few clusters that a folder cannot grow on.
  const std::string small = MakeFatImage(dir, "small.img", 12, 200, "-r 16 -s 1");
  {
    AttachedImage a(small);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(a.Put("/F" + std::to_string(i), "x"), 0);
    EXPECT_EQ(a.Put("/F16", "x"), SYS_ERR_ACCESS);
    EXPECT_EQ(DiskMkdir(a.table(), "/D"), SYS_ERR_ACCESS);
    ASSERT_EQ(DiskDelete(a.table(), "/F15"), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/D"), 0);
    // Fill the volume, then a folder that must grow has nowhere to go.
    int err = 0;
    const DiskHandle h = DiskFileOpen(a.table(), "/F0", DISK_OPEN_WRITE | DISK_OPEN_CREATE, &err);
    ASSERT_NE(h, 0u);
    const std::string block(4096, 'f');
    while (DiskFileWrite(a.table(), h, block.data(), static_cast<int>(block.size())) == 4096) {
    }
    ASSERT_EQ(DiskFileClose(a.table(), h), 0);
    int made = 0;
    int last = 0;
    while ((last = a.Put("/D/entry" + std::to_string(made), "")) == 0) ++made;
    EXPECT_EQ(made, 14);  // one cluster of 16 entries, two of them "." and ".."
    EXPECT_EQ(last, SYS_ERR_DISK_FULL);
    EXPECT_EQ(DiskMkdir(a.table(), "/D/sub"), SYS_ERR_DISK_FULL);
  }
  EXPECT_FSCK_CLEAN(small);
}

}  // namespace
