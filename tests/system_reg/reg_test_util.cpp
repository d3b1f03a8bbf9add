// A private store per test run, and UTF-16 files through iconv.
#include "reg_test_util.h"

#include "tests/support/sys_seams.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace {

std::string g_root;

class StoreEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kpw-reg-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    g_root = tmpl;
    ::chmod(g_root.c_str(), 0755);  // children running as another user read the machine hive
    ::setenv("XDG_CONFIG_HOME", (g_root + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (g_root + "/data").c_str(), 1);
    SysTestSetMachineHive(g_root + "/machine/registry.reg");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
  }
};

[[maybe_unused]] auto* const g_environment = ::testing::AddGlobalTestEnvironment(new StoreEnvironment);

std::string Convert(const std::string& in, const char* to, const char* from) {
  const iconv_t cd = ::iconv_open(to, from);
  std::string out(in.size() * 2 + 4, '\0');
  char* inPos = const_cast<char*>(in.data());
  char* outPos = out.data();
  std::size_t inLeft = in.size(), outLeft = out.size();
  ::iconv(cd, &inPos, &inLeft, &outPos, &outLeft);
  ::iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

const std::string& TestRoot() {
  return g_root;
}

std::string Utf16File(const std::string& utf8) {
  return "\xFF\xFE" + Convert(utf8, "UTF-16LE", "UTF-8");
}

std::string FromUtf16File(const std::string& bytes) {
  return Convert(bytes.starts_with("\xFF\xFE") ? bytes.substr(2) : bytes, "UTF-8", "UTF-16LE");
}
