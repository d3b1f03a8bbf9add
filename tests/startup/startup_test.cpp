// Start-up: InitInstance in its order, the start-up run on both paths, its save and exit status,
// closing and cancels, "Konfigurieren", the last-run patch of a job file.
#include "app/kopiwart_app.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_view.h"
#include "jobs/worker.h"
#include "lib/system/registry.h"
#include "lib/system/vars.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr i64 kNow = 1'750'000'000;

// ---- a worker table that records modes, flags and threads -----------------------------------

struct Seen {
  int mode;
  u32 flags;
  std::thread::id thread;
};
std::mutex g_seenMutex;
std::vector<Seen> g_seen;
std::atomic<int> g_result{JOB_DONE};
std::function<void(JobContext&)> g_during;

template <int M>
int Record(JobContext& ctx, const JobArgs& args) {
  {
    std::lock_guard lock(g_seenMutex);
    g_seen.push_back(Seen{M, args.flags, std::this_thread::get_id()});
  }
  if (g_during) g_during(ctx);
  return g_result.load();
}

template <std::size_t... I>
constexpr JobWorkerTable MakeTable(std::index_sequence<I...>) {
  return JobWorkerTable{&Record<static_cast<int>(I)>...};
}
const JobWorkerTable kTable = MakeTable(std::make_index_sequence<kJobWorkerCount>{});

// The fixed clock and the scripted workers.
JobEnvironment Env() {
  JobEnvironment env{[] { return kNow; }, "kpw-test-pc", &kTable};
  return env;
}

std::vector<Seen> SeenCalls() {
  std::lock_guard lock(g_seenMutex);
  return g_seen;
}

// ---- a frame that records what start-up asks of the window --------------------------------------

class ScriptedFrame : public IAppFrame {
 public:
  IRunHost& Host() override { return host; }
  IViewHost& ViewHost() override { return host; }
  void ShowMainWindow(int showCommand) override { Note("Show" + std::to_string(showCommand)); }
  void PostHiddenStart() override { Note("HiddenStart"); }
  void PostToMainThread(std::function<void()> fn) override {
    std::lock_guard lock(m_mutex);
    m_posted.push_back(std::move(fn));
    m_cv.notify_all();
  }
  int Run() override {
    mainThread = std::this_thread::get_id();
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_cv.wait(lock, [&] { return !m_posted.empty() || quits > 0; });
      if (!m_posted.empty()) {
        auto fn = std::move(m_posted.front());
        m_posted.pop_front();
        lock.unlock();
        fn();
        lock.lock();
        continue;
      }
      return status;
    }
  }
  void PostQuit(int s) override {
    std::lock_guard lock(m_mutex);
    if (quits++ == 0) status = s;
    m_cv.notify_all();
  }
  u32 HiddenRunMinimumMs() override { return minimumMs; }

  std::vector<std::string> Notes() {
    std::lock_guard lock(m_mutex);
    return m_notes;
  }

  ScriptedRunHost host;
  std::thread::id mainThread;
  int quits = 0;
  int status = -1;
  u32 minimumMs = 0;

 private:
  void Note(std::string s) {
    std::lock_guard lock(m_mutex);
    m_notes.push_back(std::move(s));
  }
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::function<void()>> m_posted;
  std::vector<std::string> m_notes;
};

using kpwtest::ReadFile;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kpw_startup_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir + "/config");
    ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    {
      std::lock_guard lock(g_seenMutex);
      g_seen.clear();
    }
    g_result = JOB_DONE;
    g_during = nullptr;
    app.SetEnvironment(Env());
  }
  void TearDown() override {
    ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir);
  }

  // A job file of n "Copy" rows with the schedule given.
  std::string JobFile(int rows, const std::string& schedule = "/ZEITPLAN=0x0,1\r\n", const std::string& extra = "") {
    std::string text;
    for (int i = 0; i < rows; ++i) text += "[EINTRAG]\r\n\tQ:/src" + std::to_string(i) + "\r\n\tZ:/dst\r\n";
    text += extra + schedule;
    const std::string path = dir + "/jobs.kpw";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  int RunApp(std::vector<const char*> args) {
    args.insert(args.begin(), "kopiwart");
    return app.Run(static_cast<int>(args.size()), args.data());
  }
  BOOL Init(std::vector<const char*> args) {
    args.insert(args.begin(), "kopiwart");
    return app.InitInstance(static_cast<int>(args.size()), args.data());
  }

  std::string dir;
  ScriptedFrame frame;
  CKopiwartApp app{frame};
};

TEST_F(StartupTest, InitInstanceOrderWithoutAFile) {
  ::setenv("KPW_STARTUP_PROBE", "da", 1);
  {
    CRegistry reg;
    ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Kopiwart\\Recent File List", REG_OPEN_CREATE));
    ASSERT_TRUE(reg.SetString("File1", "/x/eins.kpw"));
    ASSERT_TRUE(reg.SetString("File2", "/x/zwei.kpw"));
  }
  ASSERT_TRUE(Init({"-S", "-A"}));
  ::unsetenv("KPW_STARTUP_PROBE");
  EXPECT_EQ(VarGet("KPW_STARTUP_PROBE").value_or(""), "da");  // the variables from the environment
  EXPECT_EQ(CRegistry::ApplicationKeyPath(), "Software\\Tavrin\\Kopiwart");
  EXPECT_EQ(app.RecentFiles().Files(), (std::vector<std::string>{"/x/eins.kpw", "/x/zwei.kpw"}));
  // Without a file -S and -A do not survive; the list is new and nothing runs.
  EXPECT_FALSE(app.StartAtOnce());
  EXPECT_FALSE(app.Always());
  EXPECT_EQ(app.GetView()->GetInfo(0), 0);
  EXPECT_EQ(frame.Notes(), (std::vector<std::string>{"Show5"}));
  EXPECT_TRUE(SeenCalls().empty());
  app.ExitInstance();
  EXPECT_FALSE(VarGet("HOME"));  // the table is freed
}

TEST_F(StartupTest, NoWindowAloneStartsMinimisedWithoutARun) {
  const std::string path = JobFile(1);
  ASSERT_TRUE(Init({"/N", path.c_str()}));
  EXPECT_TRUE(app.NoWindow());
  EXPECT_EQ(frame.Notes(), (std::vector<std::string>{"Show6"}));
  EXPECT_TRUE(frame.host.Calls().empty());  // no tray icon
  EXPECT_EQ(VarGet("KPW_PATH").value_or(""), dir);  // no trailing separator
  EXPECT_EQ(VarGet("KPW_FILE").value_or(""), path);
  EXPECT_EQ(app.RecentFiles().Files().front(), path);
  app.ExitInstance();
  EXPECT_TRUE(SeenCalls().empty());
}

TEST_F(StartupTest, AFileThatCannotBeOpenedEndsTheProgram) {
  EXPECT_EQ(RunApp({"-S", "-N", (dir + "/fehlt.kpw").c_str()}), KPW_EXIT_STOPPED);
  ASSERT_EQ(frame.host.Errors().size(), 1u);
  EXPECT_NE(frame.host.Errors()[0].find("konnte nicht geöffnet werden"), std::string::npos);
  EXPECT_EQ(frame.quits, 0);
  EXPECT_TRUE(SeenCalls().empty());
}

TEST_F(StartupTest, HiddenRunIsDirectOnItsOwnThreadAndQuitsOnce) {
  const std::string path = JobFile(2);
  frame.minimumMs = 150;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunApp({path.c_str(), "-S", "-A", "-N"}), KPW_EXIT_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));  // the tray's minimum
  EXPECT_EQ(frame.quits, 1);
  const auto seen = SeenCalls();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].flags, 0u);  // no dialog, no schedule
  EXPECT_NE(seen[0].thread, frame.mainThread);
  EXPECT_EQ(frame.Notes(), (std::vector<std::string>{"Show0", "Show0", "HiddenStart"}));
  const auto calls = frame.host.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].what, "TaskbarDeleteTab");
  EXPECT_EQ(calls[1].what, "TrayIconAdd");
  EXPECT_EQ(calls[1].text, "jobs");
  EXPECT_EQ(calls[1].value, 128u);
  EXPECT_EQ(calls[2].what, "TrayIconDelete");
  EXPECT_TRUE(frame.host.Boxes().empty());  // no closing message without a dialog
  EXPECT_EQ(app.GetView()->GetHiddenRun(), 1);
  // Switches are cleared after the open: a second open from the window does not run.
  EXPECT_FALSE(app.StartAtOnce());
  EXPECT_TRUE(app.OpenDocumentFile(path));
  app.WaitForStartupRun();
  EXPECT_EQ(SeenCalls().size(), 2u);
}

TEST_F(StartupTest, RunWithTheWindowGoesThroughTheDialogOnTheMainThread) {
  const std::string path = JobFile(1);
  EXPECT_EQ(RunApp({"-s", path.c_str()}), KPW_EXIT_OK);
  const auto seen = SeenCalls();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].flags, u32{RUN_DIALOG | RUN_SCHEDULE});
  EXPECT_NE(seen[0].thread, frame.mainThread);  // the dialog's worker
  const auto boxes = frame.host.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Es wurden 0 Dateien kopiert!");
  EXPECT_EQ(boxes[0].thread, frame.mainThread);
  EXPECT_EQ(frame.quits, 1);
  EXPECT_EQ(frame.Notes(), (std::vector<std::string>{"Show5"}));
}

TEST_F(StartupTest, StartupFlagsFromSwitchesAndScheduleOptions) {
  struct Case {
    std::vector<const char*> switches;
    const char* schedule;
    u32 flags;
  };
  const Case cases[] = {
      {{"-S", "-N"}, "/ZEITPLAN=0x0,1\r\n", RUN_SCHEDULE},
      {{"-S", "-N", "-A"}, "/ZEITPLAN=0x8000,1\r\n", RUN_NEWER_ONLY},
      {{"-S", "-N"}, "/ZEITPLAN=0xE000,1\r\n", RUN_SCHEDULE | RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_KEEP_READONLY},
      {{"-S", "-N", "-A"}, "/ZEITPLAN=0x6000,1\r\n", RUN_NO_OVERWRITE | RUN_KEEP_READONLY},
      {{"-S"}, "/ZEITPLAN=0x2000,1\r\n", RUN_DIALOG | RUN_SCHEDULE | RUN_KEEP_READONLY},
  };
  for (const Case& c : cases) {
    {
      std::lock_guard lock(g_seenMutex);
      g_seen.clear();
    }
    ScriptedFrame f;
    CKopiwartApp a(f);
    a.SetEnvironment(Env());
    const std::string path = JobFile(1, c.schedule);
    std::vector<const char*> args = {"kopiwart", path.c_str()};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    EXPECT_EQ(a.Run(static_cast<int>(args.size()), args.data()), KPW_EXIT_OK) << c.schedule;
    const auto seen = SeenCalls();
    ASSERT_EQ(seen.size(), 1u) << c.schedule;
    EXPECT_EQ(seen[0].flags, c.flags) << c.schedule;
  }
}

TEST_F(StartupTest, SavesOnlyTheLastRunTimeAndKeepsWhatTheReaderSkips) {
  // A row without a target and an unknown line: the reader passes over both; saving must not.
  const std::string extra = "[EINTRAG]\r\n\tQ:/ohne-ziel\r\n; Notiz des Benutzers\r\n";
  const std::string path = JobFile(1, "/ZEITPLAN=0x1,1\r\n/LETZTE=0x1\r\n", extra);
  const std::string before = ReadFile(path);
  EXPECT_EQ(RunApp({path.c_str(), "-S", "-N"}), KPW_EXIT_OK);
  const std::string after = ReadFile(path);
  EXPECT_EQ(after, JobFilePatchLastRun(before, static_cast<u32>(kNow)));
  EXPECT_NE(after.find("/LETZTE=0x684EE180\r\n"), std::string::npos);
  EXPECT_NE(after.find("; Notiz des Benutzers"), std::string::npos);
  EXPECT_NE(after.find("/ohne-ziel"), std::string::npos);
  EXPECT_FALSE(app.GetDocument()->IsModified());
}

TEST_F(StartupTest, NothingSavedWithNoStoreTimeOrWhenNotDue) {
  for (const char* schedule : {"/ZEITPLAN=0x1000,1\r\n", "/ZEITPLAN=0x1,1\r\n/LETZTE=0x684EE000\r\n"}) {
    ScriptedFrame f;
    CKopiwartApp a(f);
    a.SetEnvironment(Env());
    const std::string path = JobFile(1, schedule);
    const std::string before = ReadFile(path);
    const auto mtime = fs::last_write_time(path);
    const char* args[] = {"kopiwart", path.c_str(), "-S", "-N"};
    EXPECT_EQ(a.Run(4, args), KPW_EXIT_OK) << schedule;
    EXPECT_EQ(ReadFile(path), before) << schedule;
    EXPECT_EQ(fs::last_write_time(path), mtime) << schedule;
    EXPECT_EQ(f.quits, 1);
  }
  // The first ran (with 0x1000), the second was held back.
  EXPECT_EQ(SeenCalls().size(), 1u);
}

TEST_F(StartupTest, ExitStatusOfFailedAndStoppedRuns) {
  const std::string path = JobFile(3);
  g_result = JOB_FAILED;
  EXPECT_EQ(RunApp({path.c_str(), "-S", "-N"}), KPW_EXIT_FAILED);
  EXPECT_EQ(SeenCalls().size(), 3u);
  EXPECT_NE(ReadFile(path).find("/LETZTE="), std::string::npos);  // the rows ran

  ScriptedFrame f;
  CKopiwartApp a(f);
  a.SetEnvironment(Env());
  const std::string second = dir + "/second.kpw";
  fs::copy_file(JobFile(3), second);
  g_result = JOB_STOP_ALL;
  const char* args[] = {"kopiwart", second.c_str(), "-S", "-N"};
  EXPECT_EQ(a.Run(4, args), KPW_EXIT_STOPPED);
  EXPECT_EQ(SeenCalls().size(), 4u);
  EXPECT_EQ(ReadFile(second).find("/LETZTE="), std::string::npos);  // a stopped run does not count
}

TEST_F(StartupTest, ACancelStopsTheRunningRunAndNoneStartsAfterIt) {
  const std::string path = JobFile(3);
  g_during = [this](JobContext&) { app.RequestCancel(); };
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunApp({path.c_str(), "-S", "-N"}), KPW_EXIT_STOPPED);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Abbruch"), std::string::npos);
  EXPECT_EQ(SeenCalls().size(), 1u);
  EXPECT_EQ(ReadFile(path).find("/LETZTE="), std::string::npos);

  // Asked before the run began: it never starts.
  ScriptedFrame f;
  CKopiwartApp a(f);
  testing::internal::CaptureStderr();
  a.RequestCancel();
  testing::internal::GetCapturedStderr();
  const char* args[] = {"kopiwart", path.c_str(), "-S", "-N"};
  EXPECT_EQ(a.Run(4, args), KPW_EXIT_STOPPED);
  EXPECT_EQ(SeenCalls().size(), 1u);
}

TEST_F(StartupTest, ClosingDuringAHiddenRunCancelsAndWaits) {
  const std::string path = JobFile(3);
  std::atomic<bool> inRun{false};
  g_during = [&](JobContext& ctx) {
    inRun = true;
    while (!ctx.run.IsCancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_TRUE(Init({path.c_str(), "-S", "-N"}));
  while (!inRun) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  app.OnClose();  // returns only after the run thread ended
  EXPECT_EQ(frame.quits, 1);
  EXPECT_EQ(frame.status, KPW_EXIT_STOPPED);
  EXPECT_EQ(SeenCalls().size(), 1u);
  app.ExitInstance();
}

TEST_F(StartupTest, ConfigureRegistersBothTypesAndReports) {
  const std::string data = dir + "/data";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  EXPECT_TRUE(app.OnConfigure("/opt/kopiwart/bin/kopiwart"));
  const std::string open = ReadFile(data + "/applications/kopiwart-kpw-open.desktop");
  EXPECT_NE(open.find("Exec=/opt/kopiwart/bin/kopiwart %f /S /A /N\n"), std::string::npos) << open;
  EXPECT_TRUE(fs::exists(data + "/applications/kopiwart-kpw-bearbeiten.desktop"));
  EXPECT_TRUE(fs::exists(data + "/mime/packages/kopiwart-ssy.xml"));
  EXPECT_NE(ReadFile(data + "/mime/packages/kopiwart-ssy.xml").find("Kopiwart Puffer"), std::string::npos);
  auto boxes = frame.host.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Konfigurieren abgeschlossen");
  EXPECT_EQ(boxes[0].caption, "Meldung");
  EXPECT_EQ(boxes[0].type, u32{MB_ICONINFORMATION});

  // A data folder that cannot be made (a file in its place): the failure message.
  std::ofstream(dir + "/blocked") << "x";
  ::setenv("XDG_DATA_HOME", (dir + "/blocked").c_str(), 1);
  EXPECT_FALSE(app.OnConfigure("/opt/kopiwart/bin/kopiwart"));
  boxes = frame.host.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, "Fehler beim Konfigurieren");
  EXPECT_EQ(boxes[1].caption, "Fehler");
  EXPECT_EQ(boxes[1].type, u32{MB_ICONHAND});
  ::unsetenv("XDG_DATA_HOME");
}

TEST(LastRunPatchTest, ReplacesTheLastLineOnlyAndKeepsEverythingElse) {
  const std::string crlf = "[EINTRAG]\r\n\tQ:/a\r\n/LETZTE=0x5\r\n/ZEITPLAN=0x1,1\r\n\t/letzte=0x6\r\nrest";
  EXPECT_EQ(JobFilePatchLastRun(crlf, 0x684EE180),
            "[EINTRAG]\r\n\tQ:/a\r\n/LETZTE=0x5\r\n/ZEITPLAN=0x1,1\r\n\t/LETZTE=0x684EE180\r\nrest");
  // None yet: appended with the file's own line end.
  EXPECT_EQ(JobFilePatchLastRun("[EINTRAG]\n\tQ:/a\n/ZEITPLAN=0x0,1", 0x10), "[EINTRAG]\n\tQ:/a\n/ZEITPLAN=0x0,1\n/LETZTE=0x10\n");
  EXPECT_EQ(JobFilePatchLastRun("", 0x10), "/LETZTE=0x10\r\n");
  // A value is not a switch line; 0 removes the line.
  EXPECT_EQ(JobFilePatchLastRun("\tQ:/LETZTE=1\r\n", 0x10), "\tQ:/LETZTE=1\r\n/LETZTE=0x10\r\n");
  EXPECT_EQ(JobFilePatchLastRun("a\r\n/LETZTE=0x5\r\nb\r\n", 0), "a\r\nb\r\n");
  // Bytes that are not UTF-8 stay as they are.
  EXPECT_EQ(JobFilePatchLastRun("\tQ:/M\xFC" "ll\r\n/LETZTE=0x1\r\n", 2), "\tQ:/M\xFC" "ll\r\n/LETZTE=0x2\r\n");
}

}  // namespace
