// Entry names as bytes: names that are not UTF-8 go in without the UTF-8 flag and come back as they were.
#include "archive_test_util.h"

using namespace ziptest;

namespace {

using Files = std::map<std::string, std::string>;

// Two file names and a folder name that are not UTF-8, beside UTF-8 and ASCII ones.
const Files kTree = {{"latin\xe9", "latin-1"},
                     {"bad\xff", "no text"},
                     {"dir\xe9/inner.txt", "inside"},
                     {"Grüße.txt", "utf-8"},
                     {"plain.txt", "ascii"}};

// Every entry as "bytes flag host", sorted by bytes. Python reads a name without the flag as code
// page 437, which gives its bytes back unchanged.
const char* const kPythonNames = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    assert z.testzip() is None
    lines = []
    for i in z.infolist():
        utf8 = bool(i.flag_bits & 0x800)
        lines.append(i.filename.encode("utf-8" if utf8 else "cp437") + b" %d %d\n" % (utf8, i.create_system))
    sys.stdout.buffer.write(b"".join(sorted(lines)))
)PY";

std::string UnzipNames(const std::string& archive) {
  return Shell("unzip -Z1 " + kpwtest::Quote(archive) + " | LC_ALL=C sort").output;
}

int EntryCount(const std::string& archive) {
  CZipFile zip;
  EXPECT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
  return zip.GetEntryCount();
}

}  // namespace

TEST(Names, NamesThatAreNotUtf8KeepTheirBytesAndAreFoundAgainOnUpdate) {
  TempDir dir;
  const std::string src = dir / "src";
  for (const auto& [name, data] : kTree) WriteFile(src + "/" + name, data);
  const std::string archive = dir / "names.zip";
  const std::string entries =
      "Grüße.txt 1 3\nbad\xff 0 3\ndir\xe9/ 0 3\ndir\xe9/inner.txt 0 3\nlatin\xe9 0 3\nplain.txt 0 3\n";
  EXPECT_EQ(Pack(archive, src), 5);
  for (int update = 0; update < 3; ++update) {
    if (update) {
      EXPECT_EQ(Pack(archive, src, ARC_OPEN_UPDATE), 5);
    }
    const RunResult py = Python(kPythonNames, {archive});
    EXPECT_EQ(py.output, entries) << "update " << update;
    EXPECT_EQ(UnzipNames(archive), "Grüße.txt\nbad\xff\ndir\xe9/\ndir\xe9/inner.txt\nlatin\xe9\nplain.txt\n");
    EXPECT_EQ(EntryCount(archive), 6);
    EXPECT_EQ(Contents(archive), kTree);
  }
}

// Names other packers wrote: without the flag code page 437 unless made on Unix, where they are
// bytes; the flag on bytes that are not UTF-8 (as earlier versions of this program wrote them).
TEST(Names, ForeignNamesReadByTheirHostAndUpdateFindsThem) {
  TempDir dir;
  const std::string archive = dir / "foreign.zip";
  const RunResult made = Python(R"PY(
import struct, sys, zlib, zipfile
path = sys.argv[1]
# (name as written, bytes put in its place, host, Unicode path field); Python sets the flag on
# names that are not ASCII, so "older\xe9\xff" is flagged as UTF-8 and is not.
names = [("GrQe.txt", b"Gr\x81e.txt", 0, None),
         ("Qrger.txt", b"\x84rger.txt", 10, None),
         ("unixQ", b"unix\xe9", 3, None),
         ("older\u00e9", b"older\xe9\xff", 3, None),
         ("fl\u00fcgel", b"fl\xc3\xbcgel", 0, None),
         ("uniQ", b"uni\x81", 0, "uni\u00e4".encode())]
with zipfile.ZipFile(path, "w") as z:
    for written, raw, host, field in names:
        info = zipfile.ZipInfo(written, (2001, 2, 3, 4, 5, 6))
        info.create_system = host
        if field:
            info.extra = struct.pack("<HHBI", 0x7075, 5 + len(field), 1, zlib.crc32(raw)) + field
        z.writestr(info, raw)
data = open(path, "rb").read()
for written, raw, _, _ in names:
    data = data.replace(written.encode(), raw)
open(path, "wb").write(data)
)PY",
                                {archive});
  ASSERT_EQ(made.status, 0) << made.output;
  const Files read = {{"Grüe.txt", "Gr\x81\x65.txt"}, {"ärger.txt", "\x84rger.txt"},
                      {"unix\xe9", "unix\xe9"},       {"older\xe9\xff", "older\xe9\xff"},
                      {"flügel", "flügel"},           {"uniä", "uni\x81"}};
  EXPECT_EQ(Contents(archive), read);
  // Zip Add replaces the entries that read as the files' names instead of adding them again.
  Files tree;
  for (const auto& [name, data] : read) tree[name] = "new " + data;
  for (const auto& [name, data] : tree) WriteFile(dir / ("src/" + name), data);
  EXPECT_EQ(Pack(archive, dir / "src", ARC_OPEN_UPDATE), 6);
  EXPECT_EQ(EntryCount(archive), 6);
  EXPECT_EQ(Contents(archive), tree);
}
