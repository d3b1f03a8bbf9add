// The registry store: value types survive the file, keys nest, concurrent writers lose nothing,
// and the machine hive refuses other users.
#include "lib/system/regfile.h"
#include "lib/system/registry.h"
#include "lib/system/regstore.h"
#include "platform/last_error.h"
#include "reg_test_util.h"
#include "tests/support/deadline.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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

// A key whose lines do not parse reads as empty; its lines stay in the store until the key itself
// is written, and then the damaged text is kept beside it.
TEST(RegistryStore, DamagedLinesAreSkippedAndTheTextKept) {
  const std::string path = RegStoreFile(RegHive::User);
  std::filesystem::remove(path + ".bak");
  {
    CRegistry first;
    ASSERT_TRUE(first.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_CREATE));
    ASSERT_TRUE(first.SetDword("Dword", 0xDEADBEEF));
  }
  const std::string damaged =
      "[HKEY_CURRENT_USER\\Software\\Test\\Damaged]\n\"gut\"=dword:00000001\n\"kaputt\"=dword:zz\n\n";
  WriteFile(path, ReadFile(path) + "\n" + damaged +
                      "[HKEY_CURRENT_USER\\Software\\Test\\Damaged\\Heil]\n\"a\"=\"b\"\n");
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Damaged\\Heil", REG_OPEN_WRITE));
  std::string s;
  EXPECT_TRUE(reg.GetString("a", s));
  EXPECT_EQ(s, "b");
  ASSERT_TRUE(reg.SetDword("neu", 2));
  EXPECT_NE(ReadFile(path).find(damaged), std::string::npos);
  EXPECT_FALSE(kpwtest::Exists(path + ".bak"));

  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Damaged", REG_OPEN_WRITE));
  DWORD value = 0;
  EXPECT_FALSE(reg.GetDword("gut", value));
  ASSERT_TRUE(reg.SetDword("neu", 3));
  EXPECT_EQ(ReadFile(path).find("kaputt"), std::string::npos);
  EXPECT_NE(ReadFile(path + ".bak").find(damaged), std::string::npos);
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_READ));
  EXPECT_TRUE(reg.GetDword("Dword", value));
  EXPECT_EQ(value, 0xDEADBEEFu);
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Damaged\\Heil", REG_OPEN_READ));
  EXPECT_TRUE(reg.GetDword("neu", value));
  EXPECT_EQ(value, 2u);

  // Lines that belong to no key of the store go with the next write, kept beside it.
  std::filesystem::remove(path + ".bak");
  WriteFile(path, ReadFile(path) + "[HKEY_CLASSES_ROOT\\Fremd]\n\"x\"=\"y\"\n");
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Types", REG_OPEN_WRITE));
  ASSERT_TRUE(reg.SetDword("Dword", 1));
  EXPECT_EQ(ReadFile(path).find("Fremd"), std::string::npos);
  EXPECT_NE(ReadFile(path + ".bak").find("Fremd"), std::string::npos);
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The store is written only when something in it changes.
TEST(RegistryStore, ChangesThatChangeNothingWriteNothing) {
  const std::string path = RegStoreFile(RegHive::User);
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Same", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetDword("Zahl", 7));
  ASSERT_TRUE(reg.SetString("Text", "gleich"));
  const struct stat before = StatOf(path);
  ASSERT_TRUE(reg.SetDword("zahl", 7));
  ASSERT_TRUE(reg.SetString("Text", "gleich"));
  EXPECT_FALSE(reg.DeleteValue("fehlt"));
  EXPECT_FALSE(reg.DeleteSubKey("fehlt"));
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "software\\test\\SAME", REG_OPEN_CREATE));
  const std::string same = TestRoot() + "/same.reg";
  WriteFile(same, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Test\\Same]\n\"Zahl\"=dword:00000007\n");
  CRegFile file;
  ASSERT_TRUE(file.Import(same.c_str())) << file.GetErrorText();
  EXPECT_TRUE(SameFile(StatOf(path), before));
  // A value of another type with the same bytes is a change.
  const DWORD seven = 7;
  ASSERT_TRUE(reg.SetValue(&seven, 4, "Zahl", REG_BINARY));
  EXPECT_FALSE(SameFile(StatOf(path), before));
}

// A store as another program may write it: the keys a write does not change keep their lines
// byte for byte, and their values read the same before and after (from where the lines now are).
TEST(RegistryStore, KeysAWriteDoesNotChangeKeepTheirLines) {
  const std::string path = RegStoreFile(RegHive::User);
  const std::string hand =
      "[HKCU\\Software\\Test\\Hand]\r\n; von Hand\r\n\"Text\"=\"eins\"\r\n\"Bytes\"=hex:01,02,\\\r\n  03\r\n\r\n";
  const std::string twice = "[HKEY_CURRENT_USER\\Software\\Test\\Zweimal]\n\"a\"=\"erst\"\n\"b\"=dword:00000002\n";
  const std::string again = "  [HKEY_CURRENT_USER\\software\\test\\zweimal]\n\"A\"=\"dann\"\n\"b\"=-\n";
  const std::string last = "[HKEY_CURRENT_USER\\Software\\Test\\Ende]\n@=\"ohne Zeilenende\"";
  WriteFile(path, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n" + hand + twice + again + last);
  const auto check = [&] {
    CRegistry reg;
    std::string s;
    ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Hand", REG_OPEN_READ));
    EXPECT_TRUE(reg.GetString("Text", s) && s == "eins") << s;
    RegValueInfo bytes;
    EXPECT_TRUE(reg.QueryValue("Bytes", bytes) && bytes.data == Bytes("\x01\x02\x03"));
    ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Zweimal", REG_OPEN_READ));
    EXPECT_TRUE(reg.GetString("a", s) && s == "dann") << s;
    DWORD b = 0;
    EXPECT_FALSE(reg.GetDword("b", b));
    ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Ende", REG_OPEN_READ));
    EXPECT_TRUE(reg.GetString(nullptr, s) && s == "ohne Zeilenende") << s;
  };
  check();
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Anders", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.SetDword("neu", 1));
  const std::string text = ReadFile(path);
  for (const std::string& lines : {hand, twice + again, last + "\n"})
    EXPECT_NE(text.find(lines), std::string::npos) << lines;
  check();
  // From another process, which reads the file anew.
  EXPECT_EQ(RunChild([&] {
              check();
              return ::testing::Test::HasFailure() ? 1 : 0;
            }),
            0);
  // A key that is written gets the program's own lines, once.
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Test\\Zweimal", REG_OPEN_WRITE));
  ASSERT_TRUE(reg.SetString("c", "drei"));
  const std::string after = ReadFile(path);
  EXPECT_NE(after.find("[HKEY_CURRENT_USER\\Software\\Test\\Zweimal]\n\"a\"=\"dann\"\n\"c\"=\"drei\"\n\n"),
            std::string::npos)
      << after;
  EXPECT_EQ(after.find("erst"), std::string::npos);
  EXPECT_NE(after.find(hand), std::string::npos);
}

// Threads that read keys for the first time read each key's lines once and all see the same.
TEST(RegistryStore, ThreadsReadingKeysForTheFirstTimeAgree) {
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  for (int k = 0; k < 40; ++k) {
    text += "[HKEY_CURRENT_USER\\Software\\Test\\Viele\\K" + std::to_string(k) + "]\n";
    for (int v = 0; v < 20; ++v) {
      char value[16];
      std::snprintf(value, sizeof value, "%08x", k * 100 + v);
      text += "\"v" + std::to_string(v) + "\"=dword:" + value + "\n";
    }
  }
  WriteFile(RegStoreFile(RegHive::User), text);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      CRegistry reg;
      for (int i = 0; i < 40; ++i) {
        const int k = (i * 7 + t * 13) % 40;
        if (!reg.Open(HKEY_CURRENT_USER, ("Software\\Test\\Viele\\K" + std::to_string(k)).c_str(), REG_OPEN_READ)) {
          ++wrong;
          continue;
        }
        const auto values = reg.Values();
        DWORD d = 0;
        if (values.size() != 20 || !reg.GetDword("v19", d) || d != static_cast<DWORD>(k * 100 + 19))
          ++wrong;
      }
    });
  }
  for (auto& t : threads) kpwtest::JoinWithin(t, "a thread reading keys");
  EXPECT_EQ(wrong.load(), 0);
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
