// Main of the window's tests: one QApplication on the offscreen platform, and for each case a fresh
// XDG_CONFIG_HOME, so that no case reads what another wrote, nor the user's own settings.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class FreshConfigHome : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    char pattern[] = "/tmp/kpw-gui-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    folder_ = pattern;
    ::setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
  }
  void OnTestEnd(const testing::TestInfo&) override {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

 private:
  std::string folder_;
};

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Qt wants a private runtime folder; root under ctest has none.
  char runtime[] = "/tmp/kpw-gui-run-XXXXXX";
  if (!std::getenv("XDG_RUNTIME_DIR")) {
    if (!::mkdtemp(runtime)) std::abort();
    ::setenv("XDG_RUNTIME_DIR", runtime, 1);
  } else {
    runtime[0] = '\0';
  }
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new FreshConfigHome);  // gtest owns it
  const int status = RUN_ALL_TESTS();
  if (runtime[0]) {
    std::error_code ec;
    std::filesystem::remove_all(runtime, ec);
  }
  return status;
}
