// The kopiwart program without a display: starts that need the window, saving the last-run time
// into a job file that keeps its owner and mode or is read-only, rows with over-long cells, edits
// of the job file while its rows run.
#include "app/kopiwart_doc.h"
#include "tests/support/editor_child.h"
#include "tests/support/files.h"
#include "tests/support/job_program.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using kpwtest::Quote;
using kpwtest::ReadFile;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kpwtest::WriteFile(dir / "src/a.txt", "eins");
    kpwtest::WriteFile(dir / "src/sub/b.txt", "zwei");
    kpwtest::WriteFile(
        dir / "jobs.kpw",
        "[EINTRAG]\r\n\tQ:$(KPW_PATH)/src\r\n\tZ:$(KPW_PATH)/dst\r\n\t/UNTER\r\n/ZEITPLAN=0x0,1\r\n");
  }
  // Runs the program without a display, with a private configuration folder and the environment's
  // names given ("NAME=value ..."); its exit status, its standard error in err. A fixed clock
  // (KPW_TEST_NOW) needs the test build of the program.
  int Kopiwart(const std::string& args, const std::string& env = "") {
    const std::string program = env.find("KPW_TEST_NOW=") == std::string::npos
                                    ? std::string(KPW_BUILD_DIR) + "/app/kopiwart"
                                    : std::string(KPW_BUILD_DIR) + "/tests/support/kopiwart-test";
    int status = -1;
    err = kpwtest::Shell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME=" + Quote(dir / "config") + " " +
                             env + " " + Quote(program) + " " + args + " 2>&1 >/dev/null </dev/null",
                         &status);
    return status;
  }

  kpwtest::TempDir dir;
  std::string err;
};

TEST_F(ProgramTest, StartsThatNeedTheWindowFailWithoutADisplay) {
  const std::string path = Quote(dir / "jobs.kpw");
  for (const std::string& args : {std::string(), path, std::string("-S -N"), path + " -N"}) {
    EXPECT_EQ(Kopiwart(args), 2) << args;
    EXPECT_NE(err.find("Das Fenster von Kopiwart kann hier nicht angezeigt werden"), std::string::npos)
        << err;
  }
  EXPECT_FALSE(fs::exists(dir / "dst"));
  // -S alone runs as with -N and says so; a direct run shows no closing message.
  EXPECT_EQ(Kopiwart(path + " -S"), 0);
  EXPECT_NE(err.find("wie mit -N"), std::string::npos) << err;
  EXPECT_EQ(err.find("Es wurden"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(dir / "dst/sub/b.txt"), "zwei");
}

// Saving the last-run time keeps the job file's owner, group and mode; a read-only job file is
// not written.
TEST_F(ProgramTest, SavesKeepOwnerGroupAndModeAndLeaveReadOnlyFiles) {
  const std::string path = dir / "jobs.kpw";
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
  }
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  EXPECT_EQ(Kopiwart(Quote(path) + " -S -A -N", "KPW_TEST_NOW=1750000000"), 0) << err;
  EXPECT_NE(ReadFile(path).find("/LETZTE=0x684EE180\r\n"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  const std::string before = ReadFile(path);
  EXPECT_EQ(Kopiwart(Quote(path) + " -S -A -N", "KPW_TEST_NOW=1750000100"), 2) << err;
  EXPECT_NE(err.find("konnte nicht gespeichert werden (Fehler 5)"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()),
            4);  // nothing beside
}

// Source and target cells longer than the limit: cut, each of them would name the folder above
// the one meant ("keep" instead of "keep/sub"), and "Copy Del" or "Del" would empty it.
TEST_F(ProgramTest, RowsWithOverlongCellsDoNothingAndSayWhy) {
  kpwtest::WriteFile(dir / "keep/precious", "bleibt");
  kpwtest::WriteFile(dir / "keep/sub/old.txt", "alt");
  auto dots = [](std::size_t n) {
    std::string d;
    while (d.size() < n) d += "/.";
    return d;
  };
  const std::string huge = "$(KPW_PATH)/keep" + dots(10'000'000) + "/sub";
  const std::string rows[][3] = {
      {"$(KPW_PATH)/src", "$(KPW_PATH)/keep" + dots(1380) + "/sub", "\t/COPY_DEL\r\n"},
      {"$(KPW_PATH)/keep" + dots(2000) + "/sub", "$(KPW_PATH)/unused", "\t/DEL\r\n"},
      {"$(KPW_PATH)/src" + dots(2000) + "/sub", "$(KPW_PATH)/dst", ""},
      {"$(KPW_PATH)/src", huge, "\t/COPY_DEL\r\n"},
  };
  std::string text;
  for (const auto& [source, target, mode] : rows)
    text += "[EINTRAG]\r\n\tQ:" + source + "\r\n\tZ:" + target + "\r\n\t/UNTER\r\n" + mode;
  text += "/ZEITPLAN=0x0,1\r\n";
  const std::string path = dir / "jobs.kpw";
  kpwtest::WriteFile(path, text);
  EXPECT_EQ(Kopiwart(Quote(path) + " -S -A -N", "KPW_TEST_NOW=1750000000"), 1) << err;
  EXPECT_EQ(ReadFile(dir / "keep/precious"), "bleibt");
  EXPECT_EQ(ReadFile(dir / "keep/sub/old.txt"), "alt");
  EXPECT_FALSE(fs::exists(dir / "keep/a.txt"));
  EXPECT_FALSE(fs::exists(dir / "dst"));
  EXPECT_FALSE(fs::exists(dir / "unused"));
  const std::string tail = " ist länger als 1283 Zeichen; der Eintrag wird nicht ausgeführt !\n";
  EXPECT_EQ(err, "Kopiwart: Eintrag 1: Das Ziel" + tail + "Kopiwart: Eintrag 2: Die Quelle" + tail +
                     "Kopiwart: Eintrag 3: Die Quelle" + tail + "Kopiwart: Eintrag 4: Das Ziel" + tail);
  // The job file keeps every cell whole; only the time of the run is new.
  EXPECT_EQ(ReadFile(path), text + "/LETZTE=0x684EE180\r\n");
}

// Whether some process waits for the lock of the file with this inode (/proc/locks shows each
// waiter with "->").
bool SomeoneWaitsFor(ino_t inode) {
  std::istringstream locks(ReadFile("/proc/locks"));
  const std::string tail = ":" + std::to_string(inode) + " ";
  for (std::string line; std::getline(locks, line);)
    if (line.find("-> FLOCK") != std::string::npos && line.find(tail) != std::string::npos) return true;
  return false;
}

// An editor saves the job file while the program's rows run. The first row imports a .reg file
// and so waits for the registry's lock, which the test holds until the editor has saved.
TEST_F(ProgramTest, EditsSavedWhileTheRowsRunAreKept) {
  kpwtest::WriteFile(dir / "import.reg",
                     "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Probe]\r\n"
                     "\"Wert\"=\"eins\"\r\n");
  const std::string path = dir / "jobs.kpw";
  const std::string original =
      "[EINTRAG]\r\n\tQ:$(KPW_PATH)/import.reg\r\n\t/UNTER\r\n\t/REG\r\n"
      "[EINTRAG]\r\n\tQ:$(KPW_PATH)/src\r\n\tZ:$(KPW_PATH)/dst\r\n\t/UNTER\r\n/ZEITPLAN=0x0,1\r\n";
  const std::string sameRows = original + "; Notiz, gespeichert während des Laufs\r\n";
  std::string otherRows = original;
  otherRows.replace(otherRows.find("/dst"), 4, "/woanders");
  const std::string lockPath = dir / "config/Tavrin/registry.reg.lock";
  kpwtest::WriteFile(lockPath, "");
  struct Case {
    kpwtest::EditorStyle style;
    const std::string& edited;
    std::string result;
  } cases[] = {
      {kpwtest::EditorStyle::Renaming, sameRows, JobFilePatchLastRun(sameRows, 1750000000)},
      {kpwtest::EditorStyle::InPlace, sameRows, JobFilePatchLastRun(sameRows, 1750000000)},
      {kpwtest::EditorStyle::Renaming, otherRows, otherRows},
      {kpwtest::EditorStyle::InPlace, otherRows, otherRows},
  };
  for (const Case& c : cases) {
    const int name = static_cast<int>(c.style);
    kpwtest::WriteFile(path, original);
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    struct stat st {};
    ASSERT_EQ(::fstat(lock, &st), 0);
    kpwtest::ProgramOptions options;
    options.program = kpwtest::kKopiwartTest;
    options.env = {{"XDG_CONFIG_HOME", dir / "config"}, {"KPW_TEST_NOW", "1750000000"}};
    const pid_t pid = kpwtest::StartJobFile(path, options);
    // The program has read the job file and waits in its first row.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!SomeoneWaitsFor(st.st_ino) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(SomeoneWaitsFor(st.st_ino)) << name;
    EXPECT_TRUE(kpwtest::EditorSave(path, c.edited, c.style)) << name;
    ::close(lock);
    const kpwtest::ProgramRun run = kpwtest::FinishJobFile(pid, path);
    EXPECT_EQ(run.status, 0) << name << run.errors;
    EXPECT_EQ(ReadFile(path), c.result) << name;
    const bool told = run.errors.find("wurde während des Laufs geändert") != std::string::npos;
    EXPECT_EQ(told, &c.edited == &otherRows) << name << run.errors;
    EXPECT_EQ(ReadFile(dir / "dst/a.txt"), "eins") << name;
    fs::remove(path + ".stderr");
  }
  EXPECT_NE(ReadFile(dir / "config/Tavrin/registry.reg").find("Probe"), std::string::npos);
}

}  // namespace
