// Archives from zip, 7-Zip and Python: read, or refused entry by entry with a German text naming it.
#include "archive_test_util.h"

using namespace ziptest;

namespace {

// Opens and unpacks an archive, answering errors with the given answer; collects the events.
int Unpack(const std::string& archive, const std::string& target, EventLog& log, CZipFile& zip) {
  EXPECT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
  zip.SetCallback(&log, &EventLog::Callback);
  return zip.ExtractAll(target.c_str(), nullptr);
}

std::vector<std::string> Errors(const EventLog& log) {
  std::vector<std::string> out;
  for (const auto& e : log.events)
    if (e.first == ARC_EVENT_ERROR) out.push_back(e.second);
  return out;
}

}  // namespace

TEST(ReadForeign, InfoZipArchivesWithDescriptorsAndZip64) {
  if (Tool("zip").empty()) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  WriteFile(dir / "src/a.txt", TextData(200000, 1));
  WriteFile(dir / "src/sub/b.bin", RandomData(70000, 2));
  WriteFile(dir / "src/sub/empty", "");
  ASSERT_EQ(Shell("cd '" + (dir / "src") + "' && zip -q -r -9 ../plain.zip . && zip -q -r -fz ../forced64.zip . "
                  "&& cat a.txt | zip -q ../stream.zip -").status, 0);
  for (const char* name : {"plain.zip", "forced64.zip"}) {
    CZipFile zip;
    EventLog log;
    EXPECT_EQ(Unpack(dir / name, dir / (std::string("out-") + name), log, zip), 0) << zip.GetErrorText();
    EXPECT_EQ(Shell("diff -r '" + (dir / "src") + "' '" + (dir / (std::string("out-") + name)) + "'").status, 0)
        << name;
    EXPECT_EQ(log.Count(ARC_EVENT_FILE_DONE), 3);
  }
  // From a pipe zip writes a data descriptor and names the entry "-".
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(dir / "stream.zip", dir / "out-stream", log, zip), 0) << zip.GetErrorText();
  EXPECT_TRUE(ReadFile(dir / "out-stream/-") == ReadFile(dir / "src/a.txt"));
}

TEST(ReadForeign, SevenZipDeflateAndBzip2ReadOtherMethodsRefusedByName) {
  const std::string seven = SevenZip();
  if (seven.empty()) GTEST_SKIP() << "7-Zip is not installed";
  TempDir dir;
  WriteFile(dir / "src/a.txt", TextData(300000, 3));
  WriteFile(dir / "src/b/c.txt", TextData(1000, 4));
  for (const char* m : {"Deflate", "BZip2", "LZMA"}) {
    const std::string archive = dir / (std::string(m) + ".zip");
    ASSERT_EQ(Shell("cd '" + (dir / "src") + "' && '" + seven + "' a -tzip -mm=" + m + " '" + archive + "' . >/dev/null")
                  .status,
              0);
    CZipFile zip;
    EventLog log;
    const std::string out = dir / (std::string("out-") + m);
    const int rc = Unpack(archive, out, log, zip);
    if (std::string(m) == "LZMA") {
      EXPECT_EQ(rc, ARC_ERR_METHOD);
      const auto errors = Errors(log);
      ASSERT_EQ(errors.size(), 2u);
      EXPECT_NE(errors[0].find("nicht unterstützten Verfahren (Methode 14, LZMA)"), std::string::npos) << errors[0];
      EXPECT_NE(errors[0].find(archive), std::string::npos);
      EXPECT_NE(errors[0].find("a.txt"), std::string::npos);
      EXPECT_FALSE(Exists(out + "/a.txt"));
      EXPECT_TRUE(Exists(out + "/b"));  // the folder entry is still made
    } else {
      EXPECT_EQ(rc, 0) << zip.GetErrorText();
      EXPECT_EQ(Shell("diff -r '" + (dir / "src") + "' '" + out + "'").status, 0) << m;
    }
  }
}

TEST(ReadForeign, EncryptedEntryRefusedTheRestRead) {
  if (Tool("zip").empty()) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  WriteFile(dir / "secret.txt", "geheim");
  WriteFile(dir / "open.txt", "offen");
  ASSERT_EQ(Shell("cd '" + dir.path() + "' && zip -q -P pw mixed.zip secret.txt && zip -q mixed.zip open.txt").status,
            0);
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(dir / "mixed.zip", dir / "out", log, zip), ARC_ERR_ENCRYPTED);
  const auto errors = Errors(log);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("Der Eintrag 'secret.txt' im Archiv '" + (dir / "mixed.zip") + "' ist verschlüsselt"),
            std::string::npos)
      << errors[0];
  EXPECT_FALSE(Exists(dir / "out/secret.txt"));
  EXPECT_EQ(ReadFile(dir / "out/open.txt"), "offen");
}

namespace {

// Python writes entries with names and attributes that no packer of ours would write.
const char* kCrafted = R"PY(
import sys, zipfile
path = sys.argv[1]
with zipfile.ZipFile(path, "w") as z:
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

}  // namespace

TEST(ReadForeign, CraftedNamesAndLinksNeverLeaveTheTarget) {
  TempDir dir;
  const std::string archive = dir / "crafted.zip";
  ASSERT_EQ(Python(kCrafted, {archive}).status, 0);
  const std::string target = dir / "a/b/target";
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(archive, target, log, zip), ARC_ERR_LINK);  // the last error reported
  const auto errors = Errors(log);
  ASSERT_EQ(errors.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_NE(errors[static_cast<std::size_t>(i)].find("zeigt aus dem Zielordner heraus"), std::string::npos);
  EXPECT_NE(errors[0].find("'../evil.txt'"), std::string::npos) << errors[0];
  EXPECT_NE(errors[4].find("'link'"), std::string::npos);
  EXPECT_NE(errors[4].find("symbolische Verknüpfung"), std::string::npos);
  // Nothing above the target; the sound entries are all there.
  EXPECT_EQ(Shell("find '" + dir.path() + "' -type f ! -path '" + target + "/*' ! -name crafted.zip").output, "");
  EXPECT_EQ(ReadFile(target + "/good.txt"), "gut");
  EXPECT_EQ(ReadFile(target + "/dir/win.txt"), "windows");
  EXPECT_EQ(ReadFile(target + "/dot/x.txt"), "punkt");
  EXPECT_EQ(ReadFile(target + "/bz.txt").size(), 6000u);
  EXPECT_EQ(ReadFile(target + "/last.txt"), "zuletzt");
  EXPECT_FALSE(Exists(target + "/link"));
  // A pipe's entry holds data like any file and is unpacked as one.
  struct stat st {};
  EXPECT_EQ(::lstat((target + "/fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(log.Count(ARC_EVENT_FILE_DONE), 6);

  // Answer 2 stops at the first refused entry.
  CZipFile again;
  EventLog abort;
  abort.errorAnswer = 2;
  EXPECT_EQ(Unpack(archive, dir / "t2", abort, again), ARC_ERR_USER_ABORT);
  EXPECT_EQ(again.GetLastError(), ARC_ERR_USER_ABORT);
  EXPECT_EQ(abort.Count(ARC_EVENT_ERROR), 1);
  EXPECT_TRUE(Exists(dir / "t2/good.txt"));
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
  MakeDirs(target);
  MakeDirs(dir / "outside");
  ASSERT_EQ(::symlink((dir / "outside").c_str(), (target + "/sub").c_str()), 0);
  WriteFile(dir / "outside/file.txt", "alt");
  ASSERT_EQ(::symlink((dir / "outside/file.txt").c_str(), (target + "/file.txt").c_str()), 0);
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
  EXPECT_EQ(zip.Open((dir / "missing.zip").c_str(), ARC_OPEN_READ, 9), ARC_ERR_OPEN);
  EXPECT_NE(zip.GetErrorText().find("nicht gefunden"), std::string::npos) << zip.GetErrorText();
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
  ASSERT_EQ(Errors(log).size(), 1u);
  EXPECT_NE(Errors(log)[0].find("'a.txt'"), std::string::npos);
  EXPECT_NE(Errors(log)[0].find("Prüfsumme falsch"), std::string::npos) << Errors(log)[0];
  EXPECT_FALSE(Exists(dir / "out/a.txt"));
  EXPECT_EQ(ReadFile(dir / "out/b.txt"), "BBBBBBBBBB");
}

TEST(ReadForeign, TimesFromNtfsAndExtendedFieldsNamesFromCodePage437) {
  TempDir dir;
  const std::string archive = dir / "times.zip";
  // NTFS times only (as Windows packers write them), an extended timestamp, and a DOS stamp alone;
  // the name "Gr?e.txt" gets the code page 437 byte of "ü" without the UTF-8 bit.
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
    z.writestr(zipfile.ZipInfo("Gr?e.txt"), "cp437")
data = open(path, "rb").read().replace(b"Gr?e.txt", b"Gr\x81e.txt")
open(path, "wb").write(data)
)PY", {archive});
  ASSERT_EQ(py.status, 0) << py.output;
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(archive, dir / "out", log, zip), 0) << zip.GetErrorText();
  EXPECT_EQ(MTime(dir / "out/ntfs.txt"), 1234567891);
  EXPECT_EQ(MTime(dir / "out/ut.txt"), 1500000001);
  std::tm tm{};
  const time_t dos = MTime(dir / "out/dos.txt");
  ::localtime_r(&dos, &tm);
  EXPECT_EQ(tm.tm_year, 110);
  EXPECT_EQ(tm.tm_hour, 8);
  EXPECT_EQ(tm.tm_sec, 10);
  EXPECT_EQ(ReadFile(dir / "out/Grüe.txt"), "cp437");
}
