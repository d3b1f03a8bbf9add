// .reg export and import: Windows' file form, appending in the old file's form, both formats and
// encodings on input, deletions, variables, and malformed files refused whole.
#include "lib/system/regfile.h"
#include "lib/system/registry.h"
#include "lib/system/regstore.h"
#include "lib/system/vars.h"
#include "platform/last_error.h"
#include "reg_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

// A file in a folder of the running test's own.
std::string File(const std::string& name) {
  const std::string dir = TestRoot() + "/files/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::filesystem::create_directories(dir);
  return dir + "/" + name;
}

std::string Text(const CRegistry& reg, const char* name) {
  std::string s;
  return reg.GetString(name, s) ? s : std::string("<fehlt>");
}

void FillSample() {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Probe", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetString("Name", "Größe \"x\" C:\\Pfad"));
  ASSERT_TRUE(reg.SetString("Erweitert", "%TEMP%\\ü", REG_EXPAND_SZ));
  const std::string multi("a\0bé\0\0", 7);
  ASSERT_TRUE(reg.SetValue(multi.data(), static_cast<DWORD>(multi.size()), "Liste", REG_MULTI_SZ));
  ASSERT_TRUE(reg.SetDword("Zahl", 42));
  const u64 q = 1ull << 40;
  ASSERT_TRUE(reg.SetValue(&q, 8, "Gross", REG_QWORD));
  std::string bin(100, '\x5a');
  ASSERT_TRUE(reg.SetValue(bin.data(), 100, "Daten", REG_BINARY));
  ASSERT_TRUE(reg.OpenSub("Unter"));
  ASSERT_TRUE(reg.SetString("", "Standard"));
}

}  // namespace

TEST(RegFile, NewExportIsWrittenAsWindowsWritesIt) {
  FillSample();
  const std::string out = File("new.reg");
  CRegFile file;
  ASSERT_TRUE(file.Export(out.c_str(), "hkey_current_user\\software\\tavrin\\probe", 0)) << file.GetErrorText();
  EXPECT_STREQ(file.GetErrorText(), "");
  const std::string bytes = ReadBytes(out);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const std::string text = FromUtf16File(bytes);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavrin\\Probe]\r\n", 0), 0u)
      << text;
  EXPECT_NE(text.find("\"Name\"=\"Größe \\\"x\\\" C:\\\\Pfad\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Zahl\"=dword:0000002a\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Gross\"=hex(b):00,00,00,00,00,01,00,00\r\n"), std::string::npos);
  // REG_EXPAND_SZ as UTF-16LE bytes with the terminator, as Windows writes it.
  EXPECT_NE(text.find("\"Erweitert\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,5c,00,fc,00,00,00\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Tavrin\\Probe\\Unter]\r\n@=\"Standard\"\r\n"), std::string::npos);
  // Long hex data continues on lines below 80 columns; no bare LF anywhere.
  for (std::size_t pos = 0; (pos = text.find('\n', pos)) != std::string::npos; ++pos) ASSERT_EQ(text[pos - 1], '\r');
  std::size_t lineStart = 0;
  for (std::size_t pos; (pos = text.find("\r\n", lineStart)) != std::string::npos; lineStart = pos + 2)
    EXPECT_LT(pos - lineStart, 80u);
  EXPECT_NE(text.find(",\\\r\n  5a,"), std::string::npos);
  struct stat st{};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);

  // The export imports back to the same values.
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin", REG_OPEN_WRITE));
  const auto before = [] {
    CRegistry r;
    r.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Probe", REG_OPEN_READ);
    return r.Values();
  }();
  ASSERT_TRUE(reg.DeleteSubKey("Probe"));
  ASSERT_TRUE(file.Import(out.c_str())) << file.GetErrorText();
  CRegistry after;
  ASSERT_TRUE(after.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Probe", REG_OPEN_READ));
  const auto values = after.Values();
  ASSERT_EQ(values.size(), before.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i].name, before[i].name);
    EXPECT_EQ(values[i].type, before[i].type) << values[i].name;
    EXPECT_EQ(values[i].data, before[i].data) << values[i].name;
  }
  ASSERT_TRUE(after.OpenSub("Unter"));
  EXPECT_EQ(Text(after, ""), "Standard");
}

TEST(RegFile, ExportFailures) {
  CRegFile file;
  EXPECT_FALSE(file.Export(File("x.reg").c_str(), "HKEY_CURRENT_USER\\Software\\Fehlt", 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(std::string(file.GetErrorText()).find("nicht gefunden"), std::string::npos);
  EXPECT_FALSE(file.Export(File("x.reg").c_str(), "HKEY_CLASSES_ROOT\\.kpw", 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(File("x.reg")));
  // Appending never turns a file that is no .reg file into one.
  FillSample();
  WriteBytes(File("notes.txt"), "Einkaufsliste\n");
  EXPECT_FALSE(file.Export(File("notes.txt").c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Probe", 1));
  EXPECT_EQ(ReadBytes(File("notes.txt")), "Einkaufsliste\n");
  // A folder that does not exist leaves no temporary file and reports the error.
  EXPECT_FALSE(file.Export((TestRoot() + "/fehlt/x.reg").c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Probe", 0));
  EXPECT_NE(GetLastError(), 0u);
}

TEST(RegFile, AppendKeepsTheFileFormAndWritesNoSecondHeader) {
  FillSample();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Zweiter", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetString("Wert", "Ä€"));
  ASSERT_TRUE(reg.SetString("Pfad", "ĳ", REG_EXPAND_SZ));  // not in Windows-1252

  // UTF-16LE file from a first export.
  const std::string utf16 = File("add16.reg");
  CRegFile file;
  ASSERT_TRUE(file.Export(utf16.c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Probe", 1));  // missing: new file
  ASSERT_TRUE(file.Export(utf16.c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter", 1)) << file.GetErrorText();
  const std::string text16 = FromUtf16File(ReadBytes(utf16));
  EXPECT_EQ(ReadBytes(utf16).substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(ReadBytes(utf16).find("\xFF\xFE", 2), std::string::npos);
  EXPECT_EQ(text16.find("Windows Registry Editor", 10), std::string::npos);
  EXPECT_NE(text16.find("\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter]\r\n\"Wert\"=\"Ä€\"\r\n"), std::string::npos);

  // A REGEDIT4 file in Windows-1252 with LF line ends stays so.
  const std::string ansi = File("add4.reg");
  WriteBytes(ansi, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Alt]\n\"Gr\xFC\xDF\"=\"\xE4\"\n");
  const auto mode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                    std::filesystem::perms::group_read;
  std::filesystem::permissions(ansi, mode);
  ASSERT_TRUE(file.Export(ansi.c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter", 1)) << file.GetErrorText();
  const std::string bytes = ReadBytes(ansi);
  EXPECT_EQ(bytes,
            "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Alt]\n\"Gr\xFC\xDF\"=\"\xE4\"\n\n"
            "[HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter]\n\"Wert\"=\"\xC4\x80\"\n\"Pfad\"=hex(2):3f,00\n\n");
  EXPECT_EQ(std::filesystem::status(ansi).permissions(), mode);
  // Nothing is left beside the file.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(std::filesystem::path(ansi).parent_path()))
    ++entries;
  EXPECT_EQ(entries, 2);
}

TEST(RegFile, ImportReadsBothFormatsAndAllEncodings) {
  const std::string body5 =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "; Kommentar\r\n"
      "[HKEY_CURRENT_USER\\Software\\Import\\V5]\r\n"
      "\"Text\"=\"Ölfaß \\\"1\\\" \\\\\\\\server\"\r\n"
      "\"Zahl\"=dword:0000ABCD\r\n"
      "\"Erw\"=hex(2):25,00,41,00,\\\r\n"
      "  fc,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"Bin\"=hex:01,02,ff\r\n"
      "\"Leer\"=hex:\r\n"
      "@=\"Vorgabe\"\r\n";
  CRegFile file;
  const std::string f16 = File("in16.reg");
  WriteBytes(f16, Utf16File(body5));
  ASSERT_TRUE(file.Import(f16.c_str())) << file.GetErrorText();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Import\\V5", REG_OPEN_READ));
  EXPECT_EQ(Text(reg, "Text"), "Ölfaß \"1\" \\\\server");
  EXPECT_EQ(Text(reg, "Erw"), "%Aü");
  EXPECT_EQ(Text(reg, ""), "Vorgabe");
  DWORD d = 0;
  EXPECT_TRUE(reg.GetDword("Zahl", d));
  EXPECT_EQ(d, 0xABCDu);
  RegValueInfo v;
  ASSERT_TRUE(reg.QueryValue("Multi", v));
  EXPECT_EQ(v.type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("a\0b\0\0", 5));
  ASSERT_TRUE(reg.QueryValue("Bin", v));
  EXPECT_EQ(v.data, (std::vector<BYTE>{1, 2, 0xFF}));
  ASSERT_TRUE(reg.QueryValue("Leer", v));
  EXPECT_TRUE(v.data.empty());

  // UTF-8 with and without mark, version 5.
  std::string body8 = body5;
  body8.replace(body8.find("V5]"), 3, "U8]");
  WriteBytes(File("in8.reg"), "\xEF\xBB\xBF" + body8);
  ASSERT_TRUE(file.Import(File("in8.reg").c_str())) << file.GetErrorText();
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Import\\U8", REG_OPEN_READ));
  EXPECT_EQ(Text(reg, "Text"), "Ölfaß \"1\" \\\\server");

  // REGEDIT4 in Windows-1252: narrow hex strings, CR LF.
  WriteBytes(File("in4.reg"),
             "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Import\\V4]\r\n\"T\"=\"\xD6l \x80\"\r\n"
             "\"E\"=hex(2):25,41,fc,00\r\n\"M\"=hex(7):61,00,e4,00,00\r\n");
  ASSERT_TRUE(file.Import(File("in4.reg").c_str())) << file.GetErrorText();
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Import\\V4", REG_OPEN_READ));
  EXPECT_EQ(Text(reg, "T"), "Öl €");
  EXPECT_EQ(Text(reg, "E"), "%Aü");
  ASSERT_TRUE(reg.QueryValue("M", v));
  EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("a\0ä\0\0", 6));

  // REGEDIT4 in UTF-8 with LF.
  WriteBytes(File("in4u.reg"), "REGEDIT4\n[HKCU\\Software\\Import\\V4U]\n\"T\"=\"Öl\"\n");
  ASSERT_TRUE(file.Import(File("in4u.reg").c_str())) << file.GetErrorText();
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Import\\V4U", REG_OPEN_READ));
  EXPECT_EQ(Text(reg, "T"), "Öl");
}

TEST(RegFile, ImportDeletesKeysAndValues) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Del\\Weg\\Tief", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetDword("x", 1));
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Del\\Bleibt", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetDword("weg", 1));
  ASSERT_TRUE(reg.SetDword("da", 2));
  WriteBytes(File("del.reg"),
             "Windows Registry Editor Version 5.00\n\n[-HKEY_CURRENT_USER\\Software\\Del\\Weg]\n"
             "\"ignoriert\"=dword:1\n\n[HKEY_CURRENT_USER\\Software\\Del\\Bleibt]\n\"WEG\"=-\n"
             "[-HKEY_CURRENT_USER\\Software\\Del\\GabEsNie]\n");
  CRegFile file;
  ASSERT_TRUE(file.Import(File("del.reg").c_str())) << file.GetErrorText();
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Del", REG_OPEN_READ));
  EXPECT_EQ(reg.SubKeyNames(), std::vector<std::string>{"Bleibt"});
  ASSERT_TRUE(reg.OpenSub("Bleibt"));
  const auto values = reg.Values();
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "da");
}

TEST(RegFile, ImportExpandsVariablesInTexts) {
  VarSet("CURRENT_PATH", "/srv/jobs", 0);
  VarSet("CURRENT_FILE", "/srv/jobs/a.reg", 0);
  WriteBytes(File("vars.reg"),
             "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Vars]\n\"Pfad\"=\"$(CURRENT_PATH)/daten\"\n"
             "\"Preis\"=\"$$5 $(GIBTESNICHT)x\"\n\"E\"=hex(2):24,28,43,55,52,52,45,4e,54,5f,46,49,4c,45,29,00\n"
             "\"M\"=hex(7):24,28,43,55,52,52,45,4e,54,5f,50,41,54,48,29,00,24,24,00,00\n"
             "\"B\"=hex:24,28,43,55,52,52,45,4e,54,5f,50,41,54,48,29\n");
  CRegFile file;
  ASSERT_TRUE(file.Import(File("vars.reg").c_str())) << file.GetErrorText();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Vars", REG_OPEN_READ));
  EXPECT_EQ(Text(reg, "Pfad"), "/srv/jobs/daten");
  EXPECT_EQ(Text(reg, "Preis"), "$5 x");
  EXPECT_EQ(Text(reg, "E"), "/srv/jobs/a.reg");
  RegValueInfo v;
  ASSERT_TRUE(reg.QueryValue("M", v));
  EXPECT_EQ(std::string(v.data.begin(), v.data.end()), std::string("/srv/jobs\0$\0\0", 13));
  ASSERT_TRUE(reg.QueryValue("B", v));  // binary data is not text
  EXPECT_EQ(std::string(v.data.begin(), v.data.end()), "$(CURRENT_PATH)");
}

TEST(RegFile, MalformedFileImportsNothingAndNamesTheLine) {
  const char* const bad[] = {
      "\"Wert\"=dword:123456789\n",     // nine digits
      "\"Wert\"=hex:0g\n",              // no hex
      "\"Wert\"=\"offen\n",             // unclosed text
      "\"Wert\"=str:abc\n",             // unknown type
      "[HKEY_CURRENT_USER\\Software\n",  // unclosed key
      "Unsinn\n",
      "\"Wert\"=hex:01,\\\n",           // continuation into the next value line
      "[HKEY_BOGUS\\x]\n",
  };
  for (const char* line : bad) {
    WriteBytes(File("bad.reg"), std::string("Windows Registry Editor Version 5.00\n\n"
                                            "[HKEY_CURRENT_USER\\Software\\Bad]\n\"Vorher\"=dword:1\n") +
                                    line + "\"Nachher\"=dword:2\n");
    CRegFile file;
    EXPECT_FALSE(file.Import(File("bad.reg").c_str())) << line;
    EXPECT_EQ(file.GetErrorLine(), 5) << line;
    EXPECT_NE(std::string(file.GetErrorText()).find("Zeile 5"), std::string::npos) << file.GetErrorText();
    CRegistry reg;
    EXPECT_FALSE(reg.Open(HKEY_CURRENT_USER, "Software\\Bad", REG_OPEN_READ)) << line;
  }
  CRegFile file;
  WriteBytes(File("nohead.reg"), "[HKEY_CURRENT_USER\\Software\\Bad]\n\"a\"=dword:1\n");
  EXPECT_FALSE(file.Import(File("nohead.reg").c_str()));
  EXPECT_EQ(file.GetErrorLine(), 1);
  EXPECT_FALSE(file.Import(File("fehlt.reg").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(std::string(file.GetErrorText()).find("nicht gelesen"), std::string::npos);

  // A root the store does not keep, late in the file, refuses the file before anything is written.
  WriteBytes(File("root.reg"),
             "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Bad]\n\"a\"=dword:1\n[HKEY_CLASSES_ROOT\\.kpw]\n@=\"x\"\n");
  EXPECT_FALSE(file.Import(File("root.reg").c_str()));
  EXPECT_EQ(file.GetErrorLine(), 4);
  CRegistry reg;
  EXPECT_FALSE(reg.Open(HKEY_CURRENT_USER, "Software\\Bad", REG_OPEN_READ));
  WriteBytes(File("root2.reg"), "REGEDIT4\n[-HKEY_CURRENT_USER]\n");
  EXPECT_FALSE(file.Import(File("root2.reg").c_str()));
}

// Child of MachineKeysNeedRoot: an import that touches the machine hive as "nobody".
TEST(Child, ImportNotRoot) {
  if (!IsChild("ImportNotRoot")) GTEST_SKIP();
  ASSERT_EQ(::setgid(65534), 0);
  ASSERT_EQ(::setuid(65534), 0);
  CRegFile file;
  EXPECT_FALSE(file.Import(std::getenv("KPW_REG_IMPORT")));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(file.GetErrorLine(), 2);
}

TEST(RegFile, MachineKeysNeedRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const std::string path = File("machine.reg");
  WriteBytes(path, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Tavrin]\n\"Path\"=\"/opt\"\n");
  ::chmod(std::filesystem::path(path).parent_path().c_str(), 0755);
  ::chmod(path.c_str(), 0644);
  EXPECT_EQ(RunChild("ImportNotRoot", {{"KPW_REG_IMPORT", path}}), 0);
  CRegFile file;
  ASSERT_TRUE(file.Import(path.c_str())) << file.GetErrorText();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin", REG_OPEN_READ));
  EXPECT_EQ(Text(reg, "Path"), "/opt");
}
