// The registry store: value types survive the file, keys nest, concurrent writers lose nothing,
// and the machine hive refuses other users.
#include "lib/system/registry.h"
#include "lib/system/regstore.h"
#include "platform/last_error.h"
#include "reg_test_util.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

std::vector<BYTE> Bytes(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }

// Forgets the cached trees by replacing the file's content with a copy of itself.
void TouchHive(RegHive hive) {
  const std::string path = RegStoreFile(hive);
  const std::string text = ReadBytes(path);
  const std::string tmp = path + ".copy";
  WriteBytes(tmp, text + "\n");
  std::filesystem::rename(tmp, path);
}

}  // namespace

TEST(RegistryStore, EveryValueTypeSurvivesTheFile) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_CREATE));
  const std::string sz = std::string("Grüße \"quoted\" C:\\Pfad\\ €") + '\0';
  const std::string expand = std::string("%TEMP%\\x $(HOME)") + '\0';
  const std::string multi = std::string("eins\0zwei\0drei\0\0", 16);
  const std::string lines = std::string("Zeile 1\r\nZeile 2") + '\0';
  const DWORD dw = 0xDEADBEEF;
  const u64 qw = 0x0123456789ABCDEFull;
  std::string binary;
  for (int i = 0; i < 300; ++i) binary.push_back(static_cast<char>(i * 7));
  const std::string other = "\x01\x02\x03";
  ASSERT_TRUE(reg.SetValue(sz.data(), static_cast<DWORD>(sz.size()), "Text", REG_SZ));
  ASSERT_TRUE(reg.SetValue(expand.data(), static_cast<DWORD>(expand.size()), "Expand", REG_EXPAND_SZ));
  ASSERT_TRUE(reg.SetValue(multi.data(), static_cast<DWORD>(multi.size()), "Multi", REG_MULTI_SZ));
  ASSERT_TRUE(reg.SetValue(lines.data(), static_cast<DWORD>(lines.size()), "Lines", REG_SZ));
  ASSERT_TRUE(reg.SetValue(&dw, 4, "Dword", REG_DWORD));
  ASSERT_TRUE(reg.SetValue(&qw, 8, "Qword", REG_QWORD));
  ASSERT_TRUE(reg.SetValue(binary.data(), static_cast<DWORD>(binary.size()), "Binary", REG_BINARY));
  ASSERT_TRUE(reg.SetValue(other.data(), 3, "Other", 0x4711));
  ASSERT_TRUE(reg.SetValue(other.data(), 3, "BigEndian", REG_DWORD_BIG_ENDIAN));
  ASSERT_TRUE(reg.SetValue("Vorgabe", 8, nullptr, REG_SZ));

  const std::string text = ReadBytes(RegStoreFile(RegHive::User));
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Test\\Types]"), std::string::npos);
  EXPECT_NE(text.find("\"Text\"=\"Grüße \\\"quoted\\\" C:\\\\Pfad\\\\ €\""), std::string::npos);
  EXPECT_NE(text.find("\"Dword\"=dword:deadbeef"), std::string::npos);
  EXPECT_NE(text.find("\"Qword\"=hex(b):ef,cd,ab,89,67,45,23,01"), std::string::npos);
  EXPECT_NE(text.find("\"Lines\"=hex(1):"), std::string::npos);  // a line break never stands in quotes
  EXPECT_NE(text.find("\"Other\"=hex(4711):01,02,03"), std::string::npos);
  EXPECT_NE(text.find("@=\"Vorgabe\""), std::string::npos);

  TouchHive(RegHive::User);  // read back from the text, not from the cache
  CRegistry back;
  ASSERT_TRUE(back.Open(HKEY_CURRENT_USER, "software\\TEST\\types", REG_OPEN_READ));
  const std::pair<const char*, std::pair<DWORD, std::string>> expected[] = {
      {"text", {REG_SZ, sz}},
      {"Expand", {REG_EXPAND_SZ, expand}},
      {"Multi", {REG_MULTI_SZ, multi}},
      {"Lines", {REG_SZ, lines}},
      {"Dword", {REG_DWORD, std::string(reinterpret_cast<const char*>(&dw), 4)}},
      {"Qword", {REG_QWORD, std::string(reinterpret_cast<const char*>(&qw), 8)}},
      {"Binary", {REG_BINARY, binary}},
      {"Other", {0x4711, other}},
      {"BigEndian", {REG_DWORD_BIG_ENDIAN, other}},
      {"", {REG_SZ, std::string("Vorgabe") + '\0'}},
  };
  for (const auto& [name, tv] : expected) {
    RegValueInfo v;
    ASSERT_TRUE(back.QueryValue(name, v)) << name;
    EXPECT_EQ(v.type, tv.first) << name;
    EXPECT_EQ(v.data, Bytes(tv.second)) << name;
  }
  // Values keep their creation order and their names' case.
  const auto values = back.Values();
  ASSERT_EQ(values.size(), 10u);
  EXPECT_EQ(values[0].name, "Text");
  EXPECT_EQ(values[9].name, "");
}

TEST(RegistryStore, GetValueLeavesTheBufferAloneOnEveryFailure) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_CREATE));
  EXPECT_EQ(reg.KeyPath(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Kopiwart");
  ASSERT_TRUE(reg.OpenSub("Settings"));
  DWORD flat = 77;
  EXPECT_FALSE(reg.GetValue(&flat, 4, "FlatMode", REG_DWORD));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(flat, 77u);

  ASSERT_TRUE(reg.SetValue("abcdef", 7, "Name", REG_SZ));
  char small[4] = {'x', 'x', 'x', 0};
  DWORD needed = 0;
  EXPECT_FALSE(reg.GetValue(small, sizeof small, "Name", REG_SZ, &needed));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(needed, 7u);
  EXPECT_STREQ(small, "xxx");
  EXPECT_FALSE(reg.GetValue(&flat, 4, "Name", REG_DWORD));
  EXPECT_EQ(GetLastError(), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(flat, 77u);

  ASSERT_TRUE(reg.SetDword("FlatMode", 1));
  EXPECT_TRUE(reg.GetValue(&flat, 4, "FlatMode", REG_DWORD));
  EXPECT_EQ(flat, 1u);
  // A text without its NUL gets one.
  std::string s;
  ASSERT_TRUE(reg.SetValue("ohne", 4, "Raw", REG_SZ));
  RegValueInfo v;
  ASSERT_TRUE(reg.QueryValue("Raw", v));
  EXPECT_EQ(v.data.size(), 5u);
  ASSERT_TRUE(reg.GetString("Raw", s));
  EXPECT_EQ(s, "ohne");
}

TEST(RegistryStore, ApplicationNameAndRoots) {
  CRegistry::SetApplicationName("Anderes");
  EXPECT_EQ(CRegistry::ApplicationKeyPath(), "Software\\Tavrin\\Anderes");
  CRegistry::SetApplicationName("Kopiwart");
  CRegistry reg;
  EXPECT_FALSE(reg.Open(HKEY_CLASSES_ROOT, "Software", REG_OPEN_CREATE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(reg.Open(HKEY_USERS, "x", REG_OPEN_READ));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(reg.Open(HKEY_CURRENT_USER, "Software\\Gibt\\Es\\Nicht", REG_OPEN_READ));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(reg.Open(HKEY_CURRENT_USER, "Software\\Gibt\\Es\\Nicht", REG_OPEN_WRITE));
  EXPECT_EQ(reg.Depth(), 0);
  int rest = 0;
  EXPECT_EQ(RegRootFromName("hkey_local_machine\\Software", &rest), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(rest, 19);
  EXPECT_EQ(RegRootFromName("HKCU", &rest), HKEY_CURRENT_USER);
  EXPECT_EQ(RegRootFromName("HKEY_CURRENT_USERX\\a", &rest), 0u);
}

TEST(RegistryStore, ElevenLevelsAndNoMore) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Deep", REG_OPEN_CREATE));
  for (int i = 1; i < CRegistry::kMaxDepth; ++i) ASSERT_TRUE(reg.OpenSub(("L" + std::to_string(i)).c_str()));
  EXPECT_EQ(reg.Depth(), 11);
  EXPECT_FALSE(reg.OpenSub("L11"));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_OPEN_FILES);
  ASSERT_TRUE(reg.SetDword("Tief", 11));
  reg.Close();
  EXPECT_EQ(reg.Depth(), 10);
  EXPECT_EQ(reg.SubKeyNames(), std::vector<std::string>{"L10"});

  CRegistry read;
  ASSERT_TRUE(read.Open(HKEY_CURRENT_USER, "Software\\Test\\Deep\\L1\\L2\\L3\\L4\\L5\\L6\\L7\\L8\\L9\\L10",
                        REG_OPEN_READ));
  DWORD v = 0;
  EXPECT_TRUE(read.GetDword("Tief", v));
  EXPECT_EQ(v, 11u);
  EXPECT_FALSE(read.SetDword("Tief", 1));  // opened for reading
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(RegistryStore, EnumerateAndDelete) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Enum", REG_OPEN_CREATE));
  for (const char* name : {"b", "A", "c"}) {
    ASSERT_TRUE(reg.OpenSub(name));
    ASSERT_TRUE(reg.OpenSub("Unten"));
    ASSERT_TRUE(reg.SetDword("x", 1));
    reg.Close();
    reg.Close();
  }
  EXPECT_FALSE(reg.SetDword("zwei\nZeilen", 1));  // would break the store's lines
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(reg.OpenSub("zwei\rZeilen"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  std::string name;
  std::vector<std::string> names;
  for (DWORD i = 0; reg.EnumSubKey(i, name); ++i) names.push_back(name);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "c"}));
  EXPECT_TRUE(reg.DeleteSubKey("B"));
  EXPECT_FALSE(reg.DeleteSubKey("B"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.SubKeyNames(), (std::vector<std::string>{"A", "c"}));
  ASSERT_TRUE(reg.SetDword("v", 1));
  EXPECT_TRUE(reg.DeleteValue("V"));
  EXPECT_FALSE(reg.DeleteValue("v"));
  RegValueInfo info;
  EXPECT_FALSE(reg.EnumValue(0, info));
}

TEST(RegistryStore, DamagedLinesAreSkippedAndTheTextKept) {
  {
    CRegistry first;
    ASSERT_TRUE(first.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_CREATE));
    ASSERT_TRUE(first.SetDword("Dword", 0xDEADBEEF));
  }
  const std::string path = RegStoreFile(RegHive::User);
  const std::string old = ReadBytes(path);
  WriteBytes(path, old + "\n[HKEY_CURRENT_USER\\Software\\Test\\Damaged]\n\"gut\"=dword:00000001\n"
                         "\"kaputt\"=dword:zz\n\n[HKEY_CURRENT_USER\\Software\\Test\\Damaged\\Heil]\n\"a\"=\"b\"\n");
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Damaged\\Heil", REG_OPEN_WRITE));
  std::string s;
  EXPECT_TRUE(reg.GetString("a", s));
  EXPECT_EQ(s, "b");
  ASSERT_TRUE(reg.SetDword("neu", 2));
  EXPECT_NE(ReadBytes(path + ".bak").find("kaputt"), std::string::npos);
  DWORD other = 0;
  CRegistry before;
  ASSERT_TRUE(before.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_READ));
  EXPECT_TRUE(before.GetValue(&other, 4, "Dword", REG_DWORD));
  EXPECT_EQ(other, 0xDEADBEEFu);
}

// Child of ConcurrentWritersLoseNothing: writes its share of values, one write per value.
TEST(Child, Writer) {
  if (!IsChild("Writer")) GTEST_SKIP();
  const std::string prefix = std::getenv("KPW_REG_WRITER");
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Concurrent", REG_OPEN_CREATE));
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(reg.SetDword((prefix + std::to_string(i)).c_str(), i));
}

TEST(RegistryStore, ConcurrentWritersLoseNothing) {
  int pids[3];
  for (int p = 0; p < 3; ++p)
    ASSERT_EQ(SpawnChild("Writer", {{"KPW_REG_WRITER", "p" + std::to_string(p) + "_"}}, &pids[p]), 0);
  // This process writes at the same time.
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Concurrent", REG_OPEN_CREATE));
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(reg.SetDword(("me_" + std::to_string(i)).c_str(), i));
  for (const int pid : pids) EXPECT_EQ(WaitChild(pid), 0);
  const auto values = reg.Values();
  EXPECT_EQ(values.size(), 240u);
  for (const char* prefix : {"p0_", "p1_", "p2_", "me_"}) {
    for (int i = 0; i < 60; ++i) {
      DWORD v = 999;
      EXPECT_TRUE(reg.GetDword((prefix + std::to_string(i)).c_str(), v)) << prefix << i;
      EXPECT_EQ(v, static_cast<DWORD>(i));
    }
  }
  // No temporary file is left behind.
  for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(RegStoreFile(RegHive::User)).parent_path())) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.lock" || name == "registry.reg.bak") << name;
  }
}

TEST(RegistryStore, MachineHiveIsWrittenByRootWithReadableMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  // The test program's hive, never the system's.
  ASSERT_EQ(RegStoreFile(RegHive::Machine), TestRoot() + "/machine/registry.reg");
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tools", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetString("Path", "/opt/tavrin/lib"));
  struct stat st{};
  ASSERT_EQ(::stat(RegStoreFile(RegHive::Machine).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_CREATE));
  EXPECT_EQ(::stat(RegStoreFile(RegHive::User).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Child of MachineHiveRefusesOtherUsers: runs as "nobody".
TEST(Child, NotRoot) {
  if (!IsChild("NotRoot")) GTEST_SKIP();
  ASSERT_EQ(::setgroups(0, nullptr), 0);
  ASSERT_EQ(::setgid(65534), 0);
  ASSERT_EQ(::setuid(65534), 0);
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tools", REG_OPEN_READ));
  std::string path;
  EXPECT_TRUE(reg.GetString("Path", path));
  EXPECT_EQ(path, "/opt/tavrin/lib");
  EXPECT_FALSE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tools", REG_OPEN_CREATE));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Neu", REG_OPEN_CREATE));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tools", REG_OPEN_READ));
  EXPECT_FALSE(reg.SetString("Path", "/tmp/evil"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(RegistryStore, MachineHiveRefusesOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tools", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetString("Path", "/opt/tavrin/lib"));
  const std::string before = ReadBytes(RegStoreFile(RegHive::Machine));
  ::chmod(std::filesystem::path(RegStoreFile(RegHive::Machine)).parent_path().c_str(), 0755);
  EXPECT_EQ(RunChild("NotRoot"), 0);
  EXPECT_EQ(ReadBytes(RegStoreFile(RegHive::Machine)), before);
}
