// .reg export and import: Windows' file form, appending in the old file's form, both formats and
// encodings on input, deletions, variables, and malformed files refused whole.
#include "lib/system/regfile.h"
#include "lib/system/registry.h"
#include "lib/system/vars.h"
#include "platform/last_error.h"
#include "reg_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// A file in a folder of the running test's own.
std::string File(const std::string& name) {
  const std::string dir =
      TestRoot() + "/files/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::create_directories(dir);
  return dir + "/" + name;
}

// The value's text, "<fehlt>" when the key or value is missing.
std::string Text(const char* key, const char* name) {
  CRegistry reg;
  std::string s;
  return reg.Open(HKEY_CURRENT_USER, key, REG_OPEN_READ) && reg.GetString(name, s) ? s : "<fehlt>";
}

std::string Data(const char* key, const char* name) {
  CRegistry reg;
  RegValueInfo v;
  return reg.Open(HKEY_CURRENT_USER, key, REG_OPEN_READ) && reg.QueryValue(name, v)
             ? std::string(v.data.begin(), v.data.end())
             : "<fehlt>";
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
  const std::string bin(100, '\x5a');
  ASSERT_TRUE(reg.SetValue(bin.data(), 100, "Daten", REG_BINARY));
  ASSERT_TRUE(reg.OpenSub("Unter"));
  ASSERT_TRUE(reg.SetString("", "Standard"));
}

std::vector<RegValueInfo> Probe() {
  CRegistry reg;
  reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Probe", REG_OPEN_READ);
  return reg.Values();
}

TEST(RegFile, NewExportIsWrittenAsWindowsWritesItAndImportsBack) {
  FillSample();
  const std::string out = File("new.reg");
  CRegFile file;
  ASSERT_TRUE(file.Export(out.c_str(), "hkey_current_user\\software\\tavrin\\probe", 0))
      << file.GetErrorText();
  EXPECT_TRUE(ReadFile(out).starts_with("\xFF\xFE"));
  const std::string text = FromUtf16File(ReadFile(out));
  EXPECT_TRUE(text.starts_with(
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavrin\\Probe]\r\n"))
      << text;
  for (const char* line :
       {"\"Name\"=\"Größe \\\"x\\\" C:\\\\Pfad\"\r\n", "\"Zahl\"=dword:0000002a\r\n",
        "\"Gross\"=hex(b):00,00,00,00,00,01,00,00\r\n",
        // REG_EXPAND_SZ as UTF-16LE bytes with the terminator, as Windows writes it.
        "\"Erweitert\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,5c,00,fc,00,00,00\r\n",
        "[HKEY_CURRENT_USER\\Software\\Tavrin\\Probe\\Unter]\r\n@=\"Standard\"\r\n", ",\\\r\n  5a,"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  for (std::size_t pos = text.find('\n'); pos != std::string::npos; pos = text.find('\n', pos + 1))
    ASSERT_EQ(text[pos - 1], '\r');  // no bare LF

  const auto before = Probe();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin", REG_OPEN_WRITE));
  ASSERT_TRUE(reg.DeleteSubKey("Probe"));
  ASSERT_TRUE(file.Import(out.c_str())) << file.GetErrorText();
  const auto after = Probe();
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i)
    EXPECT_TRUE(after[i].name == before[i].name && after[i].type == before[i].type &&
                after[i].data == before[i].data)
        << after[i].name;
  EXPECT_EQ(Text("Software\\Tavrin\\Probe\\Unter", ""), "Standard");
}

TEST(RegFile, ExportFailures) {
  CRegFile file;
  EXPECT_FALSE(file.Export(File("x.reg").c_str(), "HKEY_CURRENT_USER\\Software\\Fehlt", 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(std::string(file.GetErrorText()).find("nicht gefunden"), std::string::npos);
  EXPECT_FALSE(file.Export(File("x.reg").c_str(), "HKEY_CLASSES_ROOT\\.kpw", 0));
  EXPECT_FALSE(fs::exists(File("x.reg")));
  // Appending never turns a file that is no .reg file into one.
  FillSample();
  WriteFile(File("notes.txt"), "Einkaufsliste\n");
  EXPECT_FALSE(file.Export(File("notes.txt").c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Probe", 1));
  EXPECT_EQ(ReadFile(File("notes.txt")), "Einkaufsliste\n");
  // A folder that does not exist leaves no temporary file and reports the error.
  EXPECT_FALSE(
      file.Export((TestRoot() + "/fehlt/x.reg").c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Probe", 0));
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
  ASSERT_TRUE(
      file.Export(utf16.c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Probe", 1));  // missing: new file
  ASSERT_TRUE(file.Export(utf16.c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter", 1))
      << file.GetErrorText();
  EXPECT_EQ(ReadFile(utf16).find("\xFF\xFE", 2), std::string::npos);
  const std::string text16 = FromUtf16File(ReadFile(utf16));
  EXPECT_EQ(text16.find("Windows Registry Editor", 10), std::string::npos);
  EXPECT_NE(text16.find("\r\n\r\n[HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter]\r\n\"Wert\"=\"Ä€\"\r\n"),
            std::string::npos);

  // A REGEDIT4 file in Windows-1252 with LF line ends stays so, with its mode.
  const std::string ansi = File("add4.reg");
  WriteFile(ansi, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Alt]\n\"Gr\xFC\xDF\"=\"\xE4\"\n");
  ::chmod(ansi.c_str(), 0640);
  ASSERT_TRUE(file.Export(ansi.c_str(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter", 1))
      << file.GetErrorText();
  EXPECT_EQ(
      ReadFile(ansi),
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Alt]\n\"Gr\xFC\xDF\"=\"\xE4\"\n\n"
      "[HKEY_CURRENT_USER\\Software\\Tavrin\\Zweiter]\n\"Wert\"=\"\xC4\x80\"\n\"Pfad\"=hex(2):3f,00\n\n");
  struct stat st {};
  ASSERT_EQ(::stat(ansi.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(ansi).parent_path()), fs::directory_iterator()), 2);
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
  WriteFile(File("in16.reg"), Utf16File(body5));
  ASSERT_TRUE(file.Import(File("in16.reg").c_str())) << file.GetErrorText();
  const char* v5 = "Software\\Import\\V5";
  EXPECT_EQ(Text(v5, "Text"), "Ölfaß \"1\" \\\\server");
  EXPECT_EQ(Text(v5, "Erw"), "%Aü");
  EXPECT_EQ(Data(v5, "Zahl"), std::string("\xCD\xAB\0\0", 4));
  EXPECT_EQ(Data(v5, "Multi"), std::string("a\0b\0\0", 5));

  // UTF-8 with a mark, version 5.
  std::string body8 = body5;
  body8.replace(body8.find("V5]"), 3, "U8]");
  WriteFile(File("in8.reg"), "\xEF\xBB\xBF" + body8);
  ASSERT_TRUE(file.Import(File("in8.reg").c_str())) << file.GetErrorText();
  EXPECT_EQ(Text("Software\\Import\\U8", "Text"), "Ölfaß \"1\" \\\\server");

  // REGEDIT4 in Windows-1252: narrow hex strings, CR LF.
  WriteFile(File("in4.reg"),
            "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Import\\V4]\r\n\"T\"=\"\xD6l \x80\"\r\n"
            "\"E\"=hex(2):25,41,fc,00\r\n\"M\"=hex(7):61,00,e4,00,00\r\n");
  ASSERT_TRUE(file.Import(File("in4.reg").c_str())) << file.GetErrorText();
  EXPECT_EQ(Text("Software\\Import\\V4", "T"), "Öl €");
  EXPECT_EQ(Data("Software\\Import\\V4", "M"), std::string("a\0ä\0\0", 6));

  // REGEDIT4 in UTF-8 with LF.
  WriteFile(File("in4u.reg"), "REGEDIT4\n[HKCU\\Software\\Import\\V4U]\n\"T\"=\"Öl\"\n");
  ASSERT_TRUE(file.Import(File("in4u.reg").c_str())) << file.GetErrorText();
  EXPECT_EQ(Text("Software\\Import\\V4U", "T"), "Öl");
}

TEST(RegFile, ImportDeletesKeysAndValuesAndExpandsVariablesInTexts) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Del\\Weg\\Tief", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetDword("x", 1));
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Del\\Bleibt", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetDword("weg", 1));
  ASSERT_TRUE(reg.SetDword("da", 2));
  VarSet("CURRENT_PATH", "/srv/jobs", 0);
  VarSet("CURRENT_FILE", "/srv/jobs/a.reg", 0);
  WriteFile(
      File("del.reg"),
      "REGEDIT4\n\n[-HKEY_CURRENT_USER\\Software\\Del\\Weg]\n"
      "\"ignoriert\"=dword:1\n\n[HKEY_CURRENT_USER\\Software\\Del\\Bleibt]\n\"WEG\"=-\n"
      "[-HKEY_CURRENT_USER\\Software\\Del\\GabEsNie]\n"
      "[HKEY_CURRENT_USER\\Software\\Vars]\n\"Pfad\"=\"$(CURRENT_PATH)/daten\"\n"
      "\"Preis\"=\"$$5 $(GIBTESNICHT)x\"\n\"E\"=hex(2):24,28,43,55,52,52,45,4e,54,5f,46,49,4c,45,29,00\n"
      "\"M\"=hex(7):24,28,43,55,52,52,45,4e,54,5f,50,41,54,48,29,00,24,24,00,00\n"
      "\"B\"=hex:24,28,43,55,52,52,45,4e,54,5f,50,41,54,48,29\n");
  CRegFile file;
  ASSERT_TRUE(file.Import(File("del.reg").c_str())) << file.GetErrorText();
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Del", REG_OPEN_READ));
  EXPECT_EQ(reg.SubKeyNames(), std::vector<std::string>{"Bleibt"});
  ASSERT_TRUE(reg.OpenSub("Bleibt"));
  ASSERT_EQ(reg.Values().size(), 1u);
  EXPECT_EQ(reg.Values()[0].name, "da");

  EXPECT_EQ(Text("Software\\Vars", "Pfad"), "/srv/jobs/daten");
  EXPECT_EQ(Text("Software\\Vars", "Preis"), "$5 x");
  EXPECT_EQ(Data("Software\\Vars", "M"), std::string("/srv/jobs\0$\0\0", 13));
  EXPECT_EQ(Data("Software\\Vars", "B"), "$(CURRENT_PATH)");  // binary data is not text
}

TEST(RegFile, MalformedFileImportsNothingAndNamesTheLine) {
  const char* const bad[] = {
      "\"Wert\"=dword:123456789\n",      // nine digits
      "\"Wert\"=hex:0g\n",               // no hex
      "\"Wert\"=\"offen\n",              // unclosed text
      "\"Wert\"=str:abc\n",              // unknown type
      "[HKEY_CURRENT_USER\\Software\n",  // unclosed key
      "Unsinn\n",
      "\"Wert\"=hex:01,\\\n",  // continuation into the next value line
      "[HKEY_BOGUS\\x]\n",
  };
  CRegFile file;
  for (const char* line : bad) {
    WriteFile(File("bad.reg"), std::string("Windows Registry Editor Version 5.00\n\n"
                                           "[HKEY_CURRENT_USER\\Software\\Bad]\n\"Vorher\"=dword:1\n") +
                                   line + "\"Nachher\"=dword:2\n");
    EXPECT_FALSE(file.Import(File("bad.reg").c_str())) << line;
    EXPECT_EQ(file.GetErrorLine(), 5) << line;
    EXPECT_NE(std::string(file.GetErrorText()).find("Zeile 5"), std::string::npos) << file.GetErrorText();
    EXPECT_EQ(Data("Software\\Bad", "Vorher"), "<fehlt>") << line;
  }
  WriteFile(File("nohead.reg"), "[HKEY_CURRENT_USER\\Software\\Bad]\n\"a\"=dword:1\n");
  EXPECT_FALSE(file.Import(File("nohead.reg").c_str()));
  EXPECT_FALSE(file.Import(File("fehlt.reg").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(std::string(file.GetErrorText()).find("nicht gelesen"), std::string::npos);

  // A root the store does not keep, late in the file, refuses the file before anything is written.
  WriteFile(
      File("root.reg"),
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Bad]\n\"a\"=dword:1\n[HKEY_CLASSES_ROOT\\.kpw]\n@=\"x\"\n");
  EXPECT_FALSE(file.Import(File("root.reg").c_str()));
  EXPECT_EQ(file.GetErrorLine(), 4);
  EXPECT_EQ(Data("Software\\Bad", "a"), "<fehlt>");
  WriteFile(File("root2.reg"), "REGEDIT4\n[-HKEY_CURRENT_USER]\n");
  EXPECT_FALSE(file.Import(File("root2.reg").c_str()));
}

}  // namespace
