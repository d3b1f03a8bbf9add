// The list checksum: the known values, empty and unreadable files, and an independent oracle.
#include "puffer_test_util.h"
#include "tests/support/puffer_fault.h"
#include "tests/support/test_env.h"

#include <cstdio>
#include <random>

using namespace puffertest;

namespace {

class PufferChecksum : public PufferWorld {};

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (const int b : bytes) s += static_cast<char>(b);
  return s;
}

}  // namespace

TEST_F(PufferChecksum, KnownValues) {
  PufferList engine(kpwtest::TestEnv().hostName);
  const std::string f = root + "/f";
  WriteFile(f, "abc");
  EXPECT_EQ(engine.Checksum(f.c_str()), 0x636261u);
  WriteFile(f, Bytes({1, 0, 0, 0}));
  EXPECT_EQ(engine.Checksum(f.c_str()), 32u);
  WriteFile(f, Bytes({0, 0, 0, 0}));  // sums to 0, which stands for "unreadable"
  EXPECT_EQ(engine.Checksum(f.c_str()), 1u);
  WriteFile(f, "");  // empty files are carried
  EXPECT_EQ(engine.Checksum(f.c_str()), 1u);
  EXPECT_EQ(engine.Checksum((root + "/fehlt").c_str()), 0u);
  EXPECT_EQ(engine.Checksum(root.c_str()), 0u);
  ::mkfifo((root + "/pipe").c_str(), 0600);  // would block a reader forever
  EXPECT_EQ(engine.Checksum((root + "/pipe").c_str()), 0u);
}

TEST_F(PufferChecksum, ReportsTheFileAndHonoursTheFaultSeam) {
  PufferList engine(kpwtest::TestEnv().hostName);
  std::vector<std::string> seen;
  engine.SetProgress(&seen, [](void* ctx, int code, const char* text) {
    if (code == PUFFER_CHECKSUM) static_cast<std::vector<std::string>*>(ctx)->push_back(text);
    return 0;
  });
  const std::string f = root + "/f";
  WriteFile(f, "abcd");
  PufferTestSetFault([](const char*, int op) { return op == PUFFER_FAULT_READ ? EIO : 0; });
  EXPECT_EQ(engine.Checksum(f.c_str()), 0u);
  PufferTestSetFault(nullptr);
  EXPECT_NE(engine.Checksum(f.c_str()), 0u);
  EXPECT_EQ(seen, (std::vector<std::string>{f, f}));
}

TEST_F(PufferChecksum, AgreesWithAnIndependentOracle) {
  if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 missing";
  std::mt19937 rng(7);
  std::vector<std::size_t> sizes = {1, 2, 3, 5, 6, 7, 8, 9, (1u << 20) - 1, 1u << 20, (1u << 20) + 3, (3u << 20) + 2};
  std::vector<std::string> files;
  std::string command = std::string("python3 ") + KPW_TEST_DATA + "/checksum_oracle.py";
  for (const std::size_t n : sizes) {
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    files.push_back(root + "/r" + std::to_string(n));
    WriteFile(files.back(), data);
    command += " " + files.back();
  }
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  PufferList engine(kpwtest::TestEnv().hostName);
  char line[64];
  for (const std::string& f : files) {
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    EXPECT_EQ(engine.Checksum(f.c_str()), static_cast<u32>(std::stoul(line, nullptr, 16))) << f;
  }
  ::pclose(pipe);
}
