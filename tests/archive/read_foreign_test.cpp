// Archives from zip, 7-Zip and Python: read, or refused entry by entry with a German text naming it.
#include "archive_test_util.h"

using namespace ziptest;

TEST(ReadForeign, InfoZipArchivesWithDescriptorsAndZip64) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", TextData(200000, 1));
  WriteFile(dir / "src/sub/b.bin", RandomData(70000, 2));
  WriteFile(dir / "src/sub/empty", "");
  ASSERT_EQ(
      ShellIn(dir / "src",
              "zip -qr9 ../plain.zip . && zip -qr -fz ../forced64.zip . && zip -q ../stream.zip - <a.txt"),
      0);
  for (const std::string name : {"plain.zip", "forced64.zip"}) {
    CZipFile zip;
    EventLog log;
    EXPECT_EQ(Unpack(dir / name, dir / ("out-" + name), log, zip), 0) << zip.GetErrorText();
    ExpectTreesEqual(dir / "src", dir / ("out-" + name));
  }
  // From a pipe zip writes a data descriptor and names the entry "-".
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(dir / "stream.zip", dir / "out-stream", log, zip), 0) << zip.GetErrorText();
  EXPECT_TRUE(ReadFile(dir / "out-stream/-") == ReadFile(dir / "src/a.txt"));
}

TEST(ReadForeign, SevenZipArchivesReadOtherMethodsRefusedByName) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", TextData(300000, 3));
  WriteFile(dir / "src/b/c.txt", TextData(1000, 4));
  for (const std::string m : {"Deflate", "BZip2", "LZMA"}) {
    const std::string archive = dir / (m + ".zip");
    ASSERT_EQ(ShellIn(dir / "src", "7zz a -tzip -mm=" + m + " " + kpwtest::Quote(archive) + " . >/dev/null"),
              0);
    CZipFile zip;
    EventLog log;
    const std::string out = dir / ("out-" + m);
    EXPECT_EQ(Unpack(archive, out, log, zip), 0) << zip.GetErrorText();
    ExpectTreesEqual(dir / "src", out);
  }
  // A method that is not built in (Zstandard's number on a stored entry): refused by name.
  const std::string archive = dir / "zstd.zip";
  ASSERT_EQ(Python("import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                   "    z.writestr('a.txt', 'A')\n    z.writestr('b.txt', 'B')\n"
                   "d = bytearray(open(sys.argv[1], 'rb').read())\n"
                   "d[8] = 93\nc = d.find(b'PK\\x01\\x02')\nd[c + 10] = 93\n"
                   "open(sys.argv[1], 'wb').write(d)\n",
                   {archive})
                .status,
            0);
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(archive, dir / "out-zstd", log, zip), ARC_ERR_METHOD);
  EXPECT_EQ(log.Errors(), std::vector<std::string>{"Der Eintrag 'a.txt' im Archiv '" + archive +
                                                   "' ist mit einem nicht unterstützten Verfahren (Methode 93, "
                                                   "Zstandard) gepackt und wurde nicht entpackt."});
  EXPECT_EQ(kpwtest::FileContents(dir / "out-zstd"), (std::map<std::string, std::string>{{"b.txt", "B"}}));
}

TEST(ReadForeign, EncryptedEntryRefusedTheRestRead) {
  TempDir dir;
  WriteFile(dir / "secret.txt", "geheim");
  WriteFile(dir / "open.txt", "offen");
  ASSERT_EQ(ShellIn(dir.path(), "zip -q -P pw mixed.zip secret.txt && zip -q mixed.zip open.txt"), 0);
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(dir / "mixed.zip", dir / "out", log, zip), ARC_ERR_ENCRYPTED);
  EXPECT_EQ(log.Errors(),
            std::vector<std::string>{"Der Eintrag 'secret.txt' im Archiv '" + (dir / "mixed.zip") +
                                     "' ist verschlüsselt und wurde nicht entpackt."});
  EXPECT_FALSE(Exists(dir / "out/secret.txt"));
  EXPECT_EQ(ReadFile(dir / "out/open.txt"), "offen");
}

// Python writes entries with names and attributes that no packer of ours would write.
const char* const kCrafted = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("good.txt", "gut")
    z.writestr("../evil.txt", "boese")
    z.writestr("/abs.txt", "absolut")
    z.writestr("C:/drive.txt", "laufwerk")
    z.writestr("dir\\..\\..\\back.txt", "zurueck")
    z.writestr("dir\\win.txt", "windows")
    z.writestr("./dot/./x.txt", "punkt")
    link = zipfile.ZipInfo("link")
    link.create_system = 3
    link.external_attr = (0o120777 << 16)
    z.writestr(link, "/etc/passwd")
    fifo = zipfile.ZipInfo("fifo")
    fifo.create_system = 3
    fifo.external_attr = (0o010644 << 16)
    z.writestr(fifo, "")  # zip stores a pipe read as standard input so
    z.writestr(zipfile.ZipInfo("bz.txt"), "bzip2 " * 1000, compress_type=zipfile.ZIP_BZIP2)
    z.writestr("last.txt", "zuletzt")
)PY";

TEST(ReadForeign, CraftedNamesAndLinksNeverLeaveTheTarget) {
  TempDir dir;
  const std::string archive = dir / "crafted.zip";
  ASSERT_EQ(Python(kCrafted, {archive}).status, 0);
  const std::string target = dir / "a/b/target";
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(archive, target, log, zip), ARC_ERR_LINK);  // the last error reported
  const auto errors = log.Errors();
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(errors[0], "Der Eintrag '../evil.txt' im Archiv '" + archive +
                           "' zeigt aus dem Zielordner heraus und wurde übersprungen.");
  EXPECT_EQ(errors[4], "Der Eintrag 'link' im Archiv '" + archive +
                           "' ist eine symbolische Verknüpfung und wurde nicht angelegt.");
  // Nothing above the target; the sound entries are all there, a pipe's entry as a plain file.
  EXPECT_EQ(Shell("find " + kpwtest::Quote(dir.path()) + " -type f ! -path " + kpwtest::Quote(target + "/*") +
                  " ! -name crafted.zip")
                .output,
            "");
  std::string bz;
  for (int i = 0; i < 1000; ++i) bz += "bzip2 ";
  EXPECT_EQ(kpwtest::FileContents(target), (std::map<std::string, std::string>{{"bz.txt", bz},
                                                                               {"dir/win.txt", "windows"},
                                                                               {"dot/x.txt", "punkt"},
                                                                               {"fifo", ""},
                                                                               {"good.txt", "gut"},
                                                                               {"last.txt", "zuletzt"}}));
  // Answer 2 stops at the first refused entry.
  CZipFile again;
  EventLog abort;
  abort.errorAnswer = ARC_ANSWER_ABORT;
  EXPECT_EQ(Unpack(archive, dir / "t2", abort, again), ARC_ERR_USER_ABORT);
  EXPECT_EQ(abort.Count(ARC_EVENT_ERROR), 1);
  EXPECT_FALSE(Exists(dir / "t2/last.txt"));
}

TEST(ReadForeign, LinksAlreadyInTheTargetAreNotFollowed) {
  TempDir dir;
  const std::string archive = dir / "in.zip";
  ASSERT_EQ(Python("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1],'w')\nz.writestr('sub/x.txt','x')\n"
                   "z.writestr('file.txt','neu')\nz.close()\n",
                   {archive})
                .status,
            0);
  const std::string target = dir / "target";
  fs::create_directories(target);
  WriteFile(dir / "outside/file.txt", "alt");
  fs::create_directory_symlink(dir / "outside", target + "/sub");
  fs::create_symlink(dir / "outside/file.txt", target + "/file.txt");
  CZipFile zip;
  EventLog log;
  // Below the link nothing is written, and that is no error: the link is named for the row's note.
  EXPECT_EQ(Unpack(archive, target, log, zip), ARC_OK);
  EXPECT_FALSE(Exists(dir / "outside/x.txt"));
  EXPECT_EQ(zip.SkippedFolderLinks(), std::vector<std::string>{target + "/sub"});
  // The link itself is replaced by the file; its target keeps its content.
  EXPECT_EQ(ReadFile(dir / "outside/file.txt"), "alt");
  EXPECT_EQ(ReadFile(target + "/file.txt"), "neu");
}

TEST(ReadForeign, DamagedArchivesGiveErrorsNotCrashes) {
  TempDir dir;
  WriteFile(dir / "not.zip", "this is no zip archive at all, just text");
  CZipFile zip;
  EXPECT_EQ(zip.Open((dir / "not.zip").c_str(), ARC_OPEN_READ, 9), ARC_ERR_FORMAT);
  EXPECT_NE(zip.GetErrorText().find("'" + (dir / "not.zip") + "' ist kein Zip-Archiv"), std::string::npos)
      << zip.GetErrorText();
  // Update never overwrites a file that is no archive.
  EXPECT_EQ(zip.Open((dir / "not.zip").c_str(), ARC_OPEN_UPDATE, 9), ARC_ERR_FORMAT);
  EXPECT_FALSE(zip.IsOpen());
  // A flipped byte in the data: the entry fails its check, the next one is still unpacked.
  const std::string archive = dir / "flip.zip";
  ASSERT_EQ(Python("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_STORED)\n"
                   "z.writestr('a.txt','A'*1000)\nz.writestr('b.txt','B'*10)\nz.close()\n",
                   {archive})
                .status,
            0);
  std::string bytes = ReadFile(archive);
  bytes[30 + 5 + 500] = 'X';
  WriteFile(archive, bytes);
  EventLog log;
  EXPECT_EQ(Unpack(archive, dir / "out", log, zip), ARC_ERR_DATA);
  EXPECT_EQ(log.Errors(), std::vector<std::string>{"Der Eintrag 'a.txt' im Archiv '" + archive +
                                                   "' ist beschädigt (Prüfsumme falsch)."});
  EXPECT_EQ(kpwtest::FileContents(dir / "out"),
            (std::map<std::string, std::string>{{"b.txt", "BBBBBBBBBB"}}));
}

// A directory damaged after its first entry: reading on would list only that entry, and an
// update would write the archive without the others.
TEST(ReadForeign, ADamagedDirectoryIsRefusedAndAnUpdateKeepsTheArchive) {
  TempDir dir;
  const std::string archive = dir / "three.zip";
  ASSERT_EQ(Python("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1],'w')\n"
                   "for n in ['one','two','three']: z.writestr(n + '.txt', n)\nz.close()\n",
                   {archive})
                .status,
            0);
  const std::string good = ReadFile(archive);
  const std::size_t first = good.find("PK\x01\x02"), second = good.find("PK\x01\x02", first + 1);
  const std::size_t third = good.find("PK\x01\x02", second + 1), end = good.find("PK\x05\x06");
  std::string badRecord = good;
  badRecord[second + 3] = '\x09';
  // The last record cut out, the end record moved up with the directory's size: the count is left.
  std::string cutShort = good.substr(0, third) + good.substr(end);
  const u32 size = static_cast<u32>(third - first);
  for (int i = 0; i < 4; ++i) cutShort[third + 12 + i] = static_cast<char>(size >> (8 * i));
  WriteFile(dir / "new/new.txt", "new");
  for (const auto& [bytes, why] : {std::pair{badRecord, "Verzeichniseintrag beschädigt"},
                                   std::pair{cutShort, "Verzeichnis unvollständig"}}) {
    WriteFile(archive, bytes);
    for (const int mode : {ARC_OPEN_READ, ARC_OPEN_UPDATE}) {
      CZipFile zip;
      EXPECT_EQ(zip.Open(archive.c_str(), mode, 9), ARC_ERR_FORMAT) << why;
      EXPECT_EQ(zip.GetErrorText(),
                "Die Datei '" + archive + "' ist kein Zip-Archiv oder ist beschädigt (" + why + ").");
      EXPECT_FALSE(zip.IsOpen());
    }
    EXPECT_TRUE(ReadFile(archive) == bytes);
    EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"new", "three.zip"}));
  }
}

TEST(ReadForeign, TimesFromNtfsAndExtendedFieldsNamesFromCodePage437) {
  TempDir dir;
  const std::string archive = dir / "times.zip";
  // NTFS times only (as Windows packers write them), an extended timestamp, and a DOS stamp alone;
  // the name "Gr?e.txt" gets the code page 437 byte of "ü" without the UTF-8 bit, made on DOS.
  const RunResult py = Python(R"PY(
import struct, sys, zipfile
path = sys.argv[1]
def ntfs(seconds):
    ft = (seconds + 11644473600) * 10000000
    return struct.pack("<HHIHHQQQ", 0x000A, 32, 0, 1, 24, ft, ft, ft)
with zipfile.ZipFile(path, "w") as z:
    a = zipfile.ZipInfo("ntfs.txt", (2001, 2, 3, 4, 5, 6)); a.extra = ntfs(1234567891)
    z.writestr(a, "n")
    b = zipfile.ZipInfo("ut.txt", (2001, 2, 3, 4, 5, 6)); b.extra = struct.pack("<HHBi", 0x5455, 5, 1, 1500000001)
    z.writestr(b, "u")
    z.writestr(zipfile.ZipInfo("dos.txt", (2010, 6, 7, 8, 9, 10)), "d")
    g = zipfile.ZipInfo("Gr?e.txt"); g.create_system = 0
    z.writestr(g, "cp437")
data = open(path, "rb").read().replace(b"Gr?e.txt", b"Gr\x81e.txt")
open(path, "wb").write(data)
)PY",
                              {archive});
  ASSERT_EQ(py.status, 0) << py.output;
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(archive, dir / "out", log, zip), 0) << zip.GetErrorText();
  EXPECT_EQ(MTime(dir / "out/ntfs.txt"), 1234567891);
  EXPECT_EQ(MTime(dir / "out/ut.txt"), 1500000001);
  const time_t dos = MTime(dir / "out/dos.txt");  // local time, as DOS stamps are
  std::tm tm{};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", ::localtime_r(&dos, &tm));
  EXPECT_STREQ(text, "2010-06-07 08:09:10");
  EXPECT_EQ(ReadFile(dir / "out/Grüe.txt"), "cp437");
}
