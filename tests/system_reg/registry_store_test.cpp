// The registry store: value types survive the file, keys nest, concurrent writers lose nothing,
// and the machine hive refuses other users.
#include "lib/system/registry.h"
#include "lib/system/regstore.h"
#include "platform/last_error.h"
#include "reg_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

std::vector<BYTE> Bytes(const std::string& s) {
  return std::vector<BYTE>(s.begin(), s.end());
}

TEST(RegistryStore, EveryValueTypeSurvivesTheFile) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_CREATE));
  const DWORD dw = 0xDEADBEEF;
  const u64 qw = 0x0123456789ABCDEFull;
  const struct {
    const char* name;
    DWORD type;
    std::string data;
  } values[] = {
      {"Text", REG_SZ, std::string("Grüße \"quoted\" C:\\Pfad\\ €") + '\0'},
      {"Multi", REG_MULTI_SZ, std::string("eins\0zwei\0drei\0\0", 16)},
      {"Lines", REG_SZ, std::string("Zeile 1\r\nZeile 2") + '\0'},
      {"Dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&dw), 4)},
      {"Qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&qw), 8)},
      {"Other", 0x4711, "\x01\x02\x03"},
      {"", REG_SZ, std::string("Vorgabe") + '\0'},
  };
  for (const auto& v : values)
    ASSERT_TRUE(
        reg.SetValue(v.data.data(), static_cast<DWORD>(v.data.size()), *v.name ? v.name : nullptr, v.type));

  const std::string path = RegStoreFile(RegHive::User);
  const std::string text = ReadFile(path);
  EXPECT_TRUE(text.starts_with("Windows Registry Editor Version 5.00\n"));
  for (const char* line : {"[HKEY_CURRENT_USER\\Software\\Test\\Types]", "\"Dword\"=dword:deadbeef",
                           "\"Text\"=\"Grüße \\\"quoted\\\" C:\\\\Pfad\\\\ €\"",
                           "\"Other\"=hex(4711):01,02,03", "\"Qword\"=hex(b):ef,cd,ab,89,67,45,23,01",
                           "@=\"Vorgabe\"", "\"Lines\"=hex(1):"})  // a line break never stands in quotes
    EXPECT_NE(text.find(line), std::string::npos) << line;

  // Read back from the text, not from the cache: the file's content is replaced by a copy.
  WriteFile(path + ".copy", text + "\n");
  std::filesystem::rename(path + ".copy", path);
  CRegistry back;
  ASSERT_TRUE(back.Open(HKEY_CURRENT_USER, "software\\TEST\\types", REG_OPEN_READ));
  for (const auto& v : values) {
    RegValueInfo info;
    ASSERT_TRUE(back.QueryValue(v.name, info)) << v.name;
    EXPECT_EQ(info.type, v.type) << v.name;
    EXPECT_EQ(info.data, Bytes(v.data)) << v.name;
  }
}

TEST(RegistryStore, GetValueLeavesTheBufferAloneOnEveryFailure) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_CREATE));
  EXPECT_EQ(reg.KeyPath(), "HKEY_CURRENT_USER\\Software\\Tavrin\\Kopiwart");
  ASSERT_TRUE(reg.OpenSub("Settings"));
  DWORD flat = 77;
  EXPECT_FALSE(reg.GetValue(&flat, 4, "FlatMode", REG_DWORD));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
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
  // A text without its NUL gets one.
  ASSERT_TRUE(reg.SetValue("ohne", 4, "Raw", REG_SZ));
  std::string s;
  ASSERT_TRUE(reg.GetString("Raw", s));
  EXPECT_EQ(s, "ohne");
}

TEST(RegistryStore, ApplicationNameRootsAndElevenLevels) {
  CRegistry::SetApplicationName("Anderes");
  EXPECT_EQ(CRegistry::ApplicationKeyPath(), "Software\\Tavrin\\Anderes");
  CRegistry::SetApplicationName("Kopiwart");
  CRegistry reg;
  EXPECT_FALSE(reg.Open(HKEY_CLASSES_ROOT, "Software", REG_OPEN_CREATE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  int rest = 0;
  EXPECT_EQ(RegRootFromName("hkey_local_machine\\Software", &rest), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegRootFromName("HKEY_CURRENT_USERX\\a", &rest), 0u);

  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Deep", REG_OPEN_CREATE));
  for (int i = 1; i < CRegistry::kMaxDepth; ++i) ASSERT_TRUE(reg.OpenSub(("L" + std::to_string(i)).c_str()));
  EXPECT_EQ(reg.Depth(), 11);
  EXPECT_FALSE(reg.OpenSub("L11"));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_OPEN_FILES);
  ASSERT_TRUE(reg.SetDword("Tief", 11));
  reg.Close();
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
  EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "c"}));
  EXPECT_TRUE(reg.DeleteSubKey("B"));
  EXPECT_FALSE(reg.DeleteSubKey("B"));
  EXPECT_EQ(reg.SubKeyNames(), (std::vector<std::string>{"A", "c"}));
  ASSERT_TRUE(reg.SetDword("v", 1));
  EXPECT_TRUE(reg.DeleteValue("V"));
  RegValueInfo info;
  EXPECT_FALSE(reg.EnumValue(0, info));
}

TEST(RegistryStore, DamagedLinesAreSkippedAndTheTextKept) {
  const std::string path = RegStoreFile(RegHive::User);
  {
    CRegistry first;
    ASSERT_TRUE(first.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_CREATE));
    ASSERT_TRUE(first.SetDword("Dword", 0xDEADBEEF));
  }
  WriteFile(path,
            ReadFile(path) +
                "\n[HKEY_CURRENT_USER\\Software\\Test\\Damaged]\n\"gut\"=dword:00000001\n"
                "\"kaputt\"=dword:zz\n\n[HKEY_CURRENT_USER\\Software\\Test\\Damaged\\Heil]\n\"a\"=\"b\"\n");
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Damaged\\Heil", REG_OPEN_WRITE));
  std::string s;
  EXPECT_TRUE(reg.GetString("a", s));
  EXPECT_EQ(s, "b");
  ASSERT_TRUE(reg.SetDword("neu", 2));
  EXPECT_NE(ReadFile(path + ".bak").find("kaputt"), std::string::npos);
  DWORD other = 0;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_READ));
  EXPECT_TRUE(reg.GetDword("Dword", other));
  EXPECT_EQ(other, 0xDEADBEEFu);
}

TEST(RegistryStore, ConcurrentWritersLoseNothing) {
  // Three processes and this one write at the same time, one write per value.
  const auto writer = [](const std::string& prefix) {
    CRegistry reg;
    bool ok = reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Concurrent", REG_OPEN_CREATE);
    for (int i = 0; ok && i < 60; ++i) ok = reg.SetDword((prefix + std::to_string(i)).c_str(), i);
    return ok;
  };
  pid_t pids[3];
  for (int p = 0; p < 3; ++p)
    pids[p] = StartChild([&] { return writer("p" + std::to_string(p) + "_") ? 0 : 1; });
  EXPECT_TRUE(writer("me_"));
  for (const pid_t pid : pids) EXPECT_EQ(WaitChild(pid), 0);
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Concurrent", REG_OPEN_READ));
  EXPECT_EQ(reg.Values().size(), 240u);
  DWORD v = 0;
  EXPECT_TRUE(reg.GetDword("p2_59", v));
  // No temporary file is left behind.
  for (const auto& e : std::filesystem::directory_iterator(
           std::filesystem::path(RegStoreFile(RegHive::User)).parent_path())) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.lock" || name == "registry.reg.bak") << name;
  }
}

TEST(RegistryStore, MachineHiveIsWrittenByRootAndRefusesOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  // The test program's hive, never the system's.
  ASSERT_EQ(RegStoreFile(RegHive::Machine), TestRoot() + "/machine/registry.reg");
  // New stores: a hive an earlier case wrote keeps the mode it had.
  std::filesystem::remove(RegStoreFile(RegHive::Machine));
  std::filesystem::remove(RegStoreFile(RegHive::User));
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tools", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetString("Path", "/opt/tavrin/lib"));
  struct stat st {};
  ASSERT_EQ(::stat(RegStoreFile(RegHive::Machine).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, nullptr, REG_OPEN_CREATE));
  ASSERT_EQ(::stat(RegStoreFile(RegHive::User).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string before = ReadFile(RegStoreFile(RegHive::Machine));
  ::chmod(std::filesystem::path(RegStoreFile(RegHive::Machine)).parent_path().c_str(), 0755);
  const auto nobody = [] {
    CRegistry r;
    std::string path;
    const bool reads = r.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tools", REG_OPEN_READ) &&
                       r.GetString("Path", path) && path == "/opt/tavrin/lib";
    const bool refusedValue = !r.SetString("Path", "/tmp/evil") && GetLastError() == ERROR_ACCESS_DENIED;
    const bool refusedKey = !r.Open(HKEY_LOCAL_MACHINE, "Software\\Neu", REG_OPEN_CREATE) &&
                            GetLastError() == ERROR_ACCESS_DENIED;
    return reads && refusedValue && refusedKey ? 0 : 1;
  };
  EXPECT_EQ(RunChild(nobody, true), 0);
  EXPECT_EQ(ReadFile(RegStoreFile(RegHive::Machine)), before);
}

}  // namespace
