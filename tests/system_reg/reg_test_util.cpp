// A private store per test run, and child runs of the test program.
#include "reg_test_util.h"

#include "tests/support/sys_seams.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace {

std::string g_root;

class StoreEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // A child run works in its parent's folders.
    if (const char* inherited = std::getenv("KPW_REG_TEST_ROOT"); inherited && *inherited) {
      g_root = inherited;
    } else {
      std::string tmpl = (std::filesystem::temp_directory_path() / "kpw-reg-XXXXXX").string();
      ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
      g_root = tmpl;
      m_owner = true;
      ::chmod(g_root.c_str(), 0755);  // children running as another user read the machine hive
      ::setenv("KPW_REG_TEST_ROOT", g_root.c_str(), 1);
      ::setenv("XDG_CONFIG_HOME", (g_root + "/config").c_str(), 1);
      ::setenv("XDG_DATA_HOME", (g_root + "/data").c_str(), 1);
    }
    SysTestSetMachineHive(g_root + "/machine/registry.reg");
  }
  void TearDown() override {
    if (m_owner) {
      std::error_code ec;
      std::filesystem::remove_all(g_root, ec);
    }
  }

 private:
  bool m_owner = false;
};

[[maybe_unused]] auto* const g_environment = ::testing::AddGlobalTestEnvironment(new StoreEnvironment);

}  // namespace

const std::string& TestRoot() { return g_root; }

int SpawnChild(const std::string& name, const std::map<std::string, std::string>& env, int* pid) {
  std::vector<std::string> strings;
  for (char** e = environ; *e; ++e) strings.emplace_back(*e);
  strings.push_back("KPW_REG_CHILD=" + name);
  for (const auto& [k, v] : env) strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=Child." + name;
  char* argv[] = {exe.data(), filter.data(), nullptr};
  pid_t child = 0;
  const int rc = posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv, envp.data());
  if (pid) *pid = child;
  return rc;
}

int WaitChild(int pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool IsChild(const std::string& name) {
  const char* child = std::getenv("KPW_REG_CHILD");
  return child && name == child;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Utf16File(const std::string& utf8) {
  std::u16string units;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = utf8[i];
    char32_t cp = c;
    int n = 1;
    if (c >= 0xF0) { cp = c & 0x07; n = 4; }
    else if (c >= 0xE0) { cp = c & 0x0F; n = 3; }
    else if (c >= 0xC0) { cp = c & 0x1F; n = 2; }
    for (int k = 1; k < n; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
  }
  std::string out = "\xFF\xFE";
  for (const char16_t u : units) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::string FromUtf16File(const std::string& bytes) {
  std::string out;
  std::size_t i = 0;
  if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0) i = 2;
  for (; i + 1 < bytes.size(); i += 2) {
    char32_t cp = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < bytes.size()) {
      const char32_t low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}
