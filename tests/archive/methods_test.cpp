// Archives of every method the reader takes (deflate64, LZMA, xz, PPMd beside stored, deflate and
// bzip2) and encrypted ones (traditional and AES), made by 7zz, Python and by hand: unpacked trees
// equal their sources, a damaged entry fails alone, a wrong password is told from damage.
#include "archive_test_util.h"

using namespace ziptest;

namespace {

// Text with long runs (deflate64's long matches), text, bytes that do not pack, an empty file.
void MakeSource(const std::string& src) {
  WriteFile(src + "/a.txt", TextData(400000, 11));
  WriteFile(src + "/sub/run.txt", std::string(300000, 'A') + TextData(1000, 12) + std::string(70000, 'B'));
  WriteFile(src + "/sub/rand.bin", RandomData(70000, 13));
  WriteFile(src + "/sub/deeper/small.txt", "klein");
  WriteFile(src + "/empty", "");
}

std::string SevenZip(const std::string& dir, const std::string& name, const std::string& options) {
  const std::string archive = dir + "/" + name;
  const RunResult r = Shell("cd " + kpwtest::Quote(dir + "/src") + " && 7zz a -tzip " + options + " " +
                            kpwtest::Quote(archive) + " . >/dev/null");
  EXPECT_EQ(r.status, 0) << r.output;
  return archive;
}

// A traditionally encrypted archive whose every entry refuses the password by its check byte: one
// wrong password in 256 passes that check (the format has no more) and then shows as damage.
std::string SevenZipRefusing(const std::string& dir, const std::string& name, const std::string& options,
                             const std::string& wrong) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::string archive = SevenZip(dir, name, options);
    const RunResult r = Python(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for info in z.infolist():
    if info.flag_bits & 1:
        try:
            z.open(info, pwd=sys.argv[2].encode()).close()
            sys.exit(1)
        except RuntimeError:
            pass
)PY",
                               {archive, wrong});
    if (r.status == 0) return archive;
    fs::remove(archive);
  }
  ADD_FAILURE() << "no archive that refuses the password";
  return {};
}

// Passwords from a list, one per question; 0 (none at hand) when the list is used up.
struct PasswordScript {
  std::vector<std::string> answers;
  std::vector<std::pair<std::string, bool>> asked = {};  // entry, whether the last one was wrong
  int cancelAt = -1;  // answers -1 at this question
  ArcPasswordFn Fn() {
    return [this](const std::string& entry, bool wrong, std::string& password) {
      asked.emplace_back(entry, wrong);
      const int n = static_cast<int>(asked.size()) - 1;
      if (n == cancelAt) return -1;
      if (n >= static_cast<int>(answers.size())) return 0;
      password = answers[static_cast<std::size_t>(n)];
      return 1;
    };
  }
};

int UnpackWith(const std::string& archive, const std::string& target, EventLog& log, PasswordScript& script) {
  CZipFile zip;
  EXPECT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0) << zip.GetErrorText();
  zip.SetCallback(&log, &EventLog::Callback);
  zip.SetPasswordCallback(script.Fn());
  return zip.ExtractAll(target.c_str(), nullptr);
}

// Flips a byte in the middle of an entry's packed data (after the encryption header).
void Damage(const std::string& archive, const std::string& entry) {
  const RunResult r = Python(R"PY(
import struct, sys, zipfile
path, name = sys.argv[1], sys.argv[2]
info = zipfile.ZipFile(path).getinfo(name)
data = bytearray(open(path, "rb").read())
n, e = struct.unpack("<HH", data[info.header_offset + 26:info.header_offset + 30])
at = info.header_offset + 30 + n + e + 20 + (info.compress_size - 30) // 2
data[at] ^= 0x55
open(path, "wb").write(data)
)PY",
                             {archive, entry});
  ASSERT_EQ(r.status, 0) << r.output;
}

// An xz entry (method 95) beside a stored one, the records written here.
const char* const kXzArchive = R"PY(
import lzma, struct, sys, zlib
path = sys.argv[1]
entries = [("x.txt", 95, open(sys.argv[2], "rb").read()), ("plain.txt", 0, b"ohne")]
out, central = b"", b""
for name, method, plain in entries:
    packed = lzma.compress(plain, format=lzma.FORMAT_XZ) if method == 95 else plain
    crc = zlib.crc32(plain)
    fields = struct.pack("<HHHHHIII", 63, 0, method, 0, 0x5821, crc, len(packed), len(plain))
    local = b"PK\x03\x04" + fields + struct.pack("<HH", len(name), 0) + name.encode()
    central += (b"PK\x01\x02" + struct.pack("<H", 63) + fields +
                struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0, len(out)) + name.encode())
    out += local + packed
end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, 2, 2, len(central), len(out), 0)
open(path, "wb").write(out + central + end)
)PY";

}  // namespace

TEST(Methods, SevenZipArchivesOfEveryMethodUnpackToTheirSource) {
  TempDir dir;
  MakeSource(dir / "src");
  for (const std::string m : {"Deflate64", "LZMA", "PPMd", "BZip2", "Deflate", "Copy"}) {
    const std::string archive = SevenZip(dir.path(), m + ".zip", "-mm=" + m);
    CZipFile zip;
    EventLog log;
    EXPECT_EQ(Unpack(archive, dir / ("out-" + m), log, zip), 0) << m << ": " << zip.GetErrorText();
    ExpectTreesEqual(dir / "src", dir / ("out-" + m));
  }
  // The same from memory.
  const std::string bytes = ReadFile(dir / "PPMd.zip");
  CZipFile zip;
  ASSERT_EQ(zip.OpenMemory(bytes.data(), bytes.size(), "im Speicher"), 0) << zip.GetErrorText();
  EXPECT_EQ(zip.ExtractAll((dir / "out-memory").c_str(), nullptr), 0) << zip.GetErrorText();
  ExpectTreesEqual(dir / "src", dir / "out-memory");
}

TEST(Methods, PythonLzmaAndAHandMadeXzEntry) {
  TempDir dir;
  MakeSource(dir / "src");
  const RunResult py = Python(R"PY(
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_LZMA) as z:
    for root, dirs, files in os.walk(sys.argv[2]):
        for f in files:
            full = os.path.join(root, f)
            z.write(full, os.path.relpath(full, sys.argv[2]))
)PY",
                              {dir / "py.zip", dir / "src"});
  ASSERT_EQ(py.status, 0) << py.output;
  CZipFile zip;
  EventLog log;
  EXPECT_EQ(Unpack(dir / "py.zip", dir / "out-py", log, zip), 0) << zip.GetErrorText();
  ExpectTreesEqual(dir / "src", dir / "out-py");

  ASSERT_EQ(Python(kXzArchive, {dir / "xz.zip", dir / "src/a.txt"}).status, 0);
  EXPECT_EQ(Contents(dir / "xz.zip"),
            (std::map<std::string, std::string>{{"plain.txt", "ohne"}, {"x.txt", ReadFile(dir / "src/a.txt")}}));
}

TEST(Methods, ADamagedEntryOfEachMethodFailsAloneTheOthersUnpack) {
  TempDir dir;
  MakeSource(dir / "src");
  MakeSource(dir / "rest");
  fs::remove(dir / "rest/a.txt");
  PasswordScript none;
  for (const std::string m : {"Deflate64", "LZMA", "PPMd", "BZip2", "Deflate"}) {
    const std::string archive = SevenZip(dir.path(), m + ".zip", "-mm=" + m);
    Damage(archive, "a.txt");
    EventLog log;
    const std::string out = dir / ("out-" + m);
    EXPECT_EQ(UnpackWith(archive, out, log, none), ARC_ERR_DATA) << m;
    ASSERT_EQ(log.Errors().size(), 1u) << m;
    EXPECT_EQ(log.Errors()[0].rfind("Der Eintrag 'a.txt' im Archiv '" + archive + "' ist beschädigt (", 0), 0u)
        << log.Errors()[0];
    EXPECT_FALSE(Exists(out + "/a.txt")) << m;
    ExpectTreesEqual(dir / "rest", out);
  }
  // xz: the hand-made entry damaged, the stored one beside it still read.
  ASSERT_EQ(Python(kXzArchive, {dir / "xz.zip", dir / "src/a.txt"}).status, 0);
  Damage(dir / "xz.zip", "x.txt");
  EventLog log;
  EXPECT_EQ(UnpackWith(dir / "xz.zip", dir / "out-xz", log, none), ARC_ERR_DATA);
  EXPECT_EQ(kpwtest::FileContents(dir / "out-xz"), (std::map<std::string, std::string>{{"plain.txt", "ohne"}}));
  EXPECT_TRUE(none.asked.empty());
}

TEST(Methods, EncryptedArchivesAskOnceAndUnpackToTheirSource) {
  TempDir dir;
  MakeSource(dir / "src");
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"zipcrypto", "-mem=ZipCrypto -mm=Deflate"}, {"zipcrypto-ppmd", "-mem=ZipCrypto -mm=PPMd"},
      {"aes128", "-mem=AES128 -mm=LZMA"},          {"aes192", "-mem=AES192 -mm=Deflate64"},
      {"aes256", "-mem=AES256 -mm=Deflate"},       {"aes256-ppmd", "-mem=AES256 -mm=PPMd"},
      {"aes256-bzip2", "-mem=AES256 -mm=BZip2"}};
  for (const auto& [name, options] : kinds) {
    const std::string archive = SevenZip(dir.path(), name + ".zip", "-pGeheim-42 " + options);
    PasswordScript script{{"Geheim-42"}};
    EventLog log;
    EXPECT_EQ(UnpackWith(archive, dir / ("out-" + name), log, script), 0) << name;
    EXPECT_TRUE(log.Errors().empty()) << name << ": " << log.Errors()[0];
    ExpectTreesEqual(dir / "src", dir / ("out-" + name));
    EXPECT_EQ(script.asked.size(), 1u) << name;
  }
  // Info-ZIP's traditional encryption, written from a pipe with a data descriptor.
  ASSERT_EQ(ShellIn(dir / "src", "zip -q -P pw ../info.zip a.txt && zip -q -P pw ../info.zip - <sub/run.txt"), 0);
  PasswordScript script{{"pw"}};
  EventLog log;
  EXPECT_EQ(UnpackWith(dir / "info.zip", dir / "out-info", log, script), 0);
  EXPECT_EQ(ReadFile(dir / "out-info/-"), ReadFile(dir / "src/sub/run.txt"));
  EXPECT_EQ(ReadFile(dir / "out-info/a.txt"), ReadFile(dir / "src/a.txt"));
}

TEST(Methods, AWrongPasswordAsksAgainAndNeverUnpacks) {
  TempDir dir;
  MakeSource(dir / "src");
  for (const std::string em : {"ZipCrypto", "AES256"}) {
    const std::string options = "-prichtig -mem=" + em;
    const std::string archive = em == "ZipCrypto" ? SevenZipRefusing(dir.path(), em + ".zip", options, "falsch")
                                                  : SevenZip(dir.path(), em + ".zip", options);
    // Wrong, then right: asked twice, the second time as wrong; all unpacked.
    PasswordScript retry{{"falsch", "richtig"}};
    EventLog log;
    EXPECT_EQ(UnpackWith(archive, dir / ("retry-" + em), log, retry), 0) << em;
    ASSERT_EQ(retry.asked.size(), 2u);
    EXPECT_FALSE(retry.asked[0].second);
    EXPECT_TRUE(retry.asked[1].second);
    ExpectTreesEqual(dir / "src", dir / ("retry-" + em));

    // Only a wrong one: each encrypted entry is refused as such, not as damaged; no file appears.
    PasswordScript wrong{{"falsch"}};
    EventLog wrongLog;
    const std::string out = dir / ("wrong-" + em);
    EXPECT_EQ(UnpackWith(archive, out, wrongLog, wrong), ARC_ERR_PASSWORD) << em;
    ASSERT_FALSE(wrongLog.Errors().empty());
    for (const std::string& e : wrongLog.Errors())
      EXPECT_NE(e.find("' ist falsch; der Eintrag wurde nicht entpackt."), std::string::npos) << e;
    EXPECT_EQ(Shell("find " + kpwtest::Quote(out) + " -type f").output, "");
    EXPECT_EQ(wrongLog.Errors()[0], "Das Kennwort für den Eintrag 'a.txt' im Archiv '" + archive +
                                        "' ist falsch; der Eintrag wurde nicht entpackt.");

    // Cancel stops the operation.
    PasswordScript cancel{{}, {}, 0};
    EventLog cancelLog;
    EXPECT_EQ(UnpackWith(archive, dir / ("cancel-" + em), cancelLog, cancel), ARC_ERR_USER_ABORT);
    EXPECT_EQ(cancel.asked.size(), 1u);
    EXPECT_TRUE(cancelLog.Errors().empty());

    // Without a password callback (unattended) the entries are reported as encrypted.
    CZipFile zip;
    EventLog plain;
    EXPECT_EQ(Unpack(archive, dir / ("plain-" + em), plain, zip), ARC_ERR_ENCRYPTED);
    EXPECT_EQ(plain.Errors()[0],
              "Der Eintrag 'a.txt' im Archiv '" + archive + "' ist verschlüsselt und wurde nicht entpackt.");
  }
}

TEST(Methods, DamageInAnEncryptedEntryIsDamageNotAWrongPassword) {
  TempDir dir;
  MakeSource(dir / "src");
  for (const std::string em : {"ZipCrypto", "AES128"}) {
    const std::string archive = SevenZip(dir.path(), em + ".zip", "-pgeheim -mm=Deflate -mem=" + em);
    Damage(archive, "sub/rand.bin");
    PasswordScript script{{"geheim"}};
    EventLog log;
    EXPECT_EQ(UnpackWith(archive, dir / ("out-" + em), log, script), ARC_ERR_DATA) << em;
    EXPECT_EQ(script.asked.size(), 1u);
    ASSERT_EQ(log.Errors().size(), 1u);
    EXPECT_EQ(log.Errors()[0].rfind("Der Eintrag 'sub/rand.bin' im Archiv '" + archive + "' ist beschädigt (", 0), 0u)
        << log.Errors()[0];
    EXPECT_FALSE(Exists(dir / ("out-" + em) + "/sub/rand.bin"));
    EXPECT_EQ(ReadFile(dir / ("out-" + em) + "/a.txt"), ReadFile(dir / "src/a.txt"));
  }
}
