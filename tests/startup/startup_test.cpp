// Start-up: InitInstance in its order, the start-up run on both paths, its flags, save and exit
// status, closing and cancels, "Konfigurieren", the last-run patch of a job file.
#include "app/headless_frame.h"
#include "app/kopiwart_app.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_view.h"
#include "lib/system/registry.h"
#include "lib/system/vars.h"
#include "lib/text/fmt.h"
#include "tests/support/deadline.h"
#include "tests/support/editor_child.h"
#include "tests/support/files.h"
#include "tests/support/recording_workers.h"
#include "tests/support/replace_fault.h"
#include "tests/support/scripted_host.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using kpwtest::ReadFile;

constexpr i64 kNow = 1'750'000'000;

// The frame of a run without a window that records what start-up asks of the window.
class ScriptedFrame : public CHeadlessFrame {
 public:
  IRunHost& Host() override { return host; }
  IViewHost& ViewHost() override { return host; }
  void ShowMainWindow(int showCommand) override { Note("Show" + std::to_string(showCommand)); }
  void PostHiddenStart() override { Note("HiddenStart"); }
  int Run() override {
    mainThread = std::this_thread::get_id();
    return CHeadlessFrame::Run();
  }
  void PostQuit(int s) override {
    if (quits++ == 0) status = s;
    CHeadlessFrame::PostQuit(s);
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(m_mutex);
    return m_notes;
  }

  ScriptedRunHost host;
  std::thread::id mainThread;
  std::atomic<int> quits{0};
  int status = -1;

 private:
  void Note(std::string s) {
    std::lock_guard lock(m_mutex);
    m_notes.push_back(std::move(s));
  }
  std::mutex m_mutex;
  std::vector<std::string> m_notes;
};

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    env.clock = [] { return kNow; };
    app.SetEnvironment(env);
  }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }

  // A job file of n "Copy" rows with the schedule given.
  std::string JobFile(int rows, const std::string& schedule = "/ZEITPLAN=0x0,1\r\n",
                      const std::string& extra = "") {
    std::string text;
    for (int i = 0; i < rows; ++i) text += "[EINTRAG]\r\n\tQ:/src" + std::to_string(i) + "\r\n\tZ:/dst\r\n";
    kpwtest::WriteFile(dir / "jobs.kpw", text + extra + schedule);
    return dir / "jobs.kpw";
  }
  static int Run(CKopiwartApp& a, std::vector<const char*> args) {
    args.insert(args.begin(), "kopiwart");
    const kpwtest::Deadline deadline("the program's main loop");
    return a.Run(static_cast<int>(args.size()), args.data());
  }
  BOOL Init(std::vector<const char*> args) {
    args.insert(args.begin(), "kopiwart");
    return app.InitInstance(static_cast<int>(args.size()), args.data());
  }

  kpwtest::TempDir dir;
  RecordingWorkers workers;
  JobEnvironment env = kpwtest::TestEnv();
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
  EXPECT_FALSE(app.StartAtOnce() || app.Always());
  EXPECT_EQ(app.GetView()->GetInfo(0), 0);
  EXPECT_EQ(frame.Notes(), (std::vector<std::string>{"Show5"}));
  app.ExitInstance();
  EXPECT_FALSE(VarGet("HOME"));  // the table is freed
  EXPECT_TRUE(workers.Calls().empty());
}

TEST_F(StartupTest, AFileThatCannotBeOpenedEndsTheProgram) {
  EXPECT_EQ(Run(app, {"-S", "-N", (dir / "fehlt.kpw").c_str()}), KPW_EXIT_STOPPED);
  EXPECT_EQ(frame.host.Errors(),
            std::vector<std::string>{"Fehler: " + JobFileOpenErrorText(dir / "fehlt.kpw", 2)});
  EXPECT_EQ(frame.quits, 0);
  EXPECT_TRUE(workers.Calls().empty());
}

TEST_F(StartupTest, AFileThatIsNoJobFileIsRefusedAndNotEnteredAmongTheRecentFiles) {
  const std::string bad = dir / "bild.png";
  kpwtest::WriteFile(bad, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
  EXPECT_EQ(Run(app, {"-S", "-A", "-N", bad.c_str()}), KPW_EXIT_STOPPED);
  EXPECT_EQ(frame.host.Errors(), std::vector<std::string>{"Fehler: Die Datei " + bad + " kann nicht geöffnet werden."});
  for (const std::string& recent : app.RecentFiles().Files()) EXPECT_NE(recent, bad);
  EXPECT_TRUE(workers.Calls().empty());
}

TEST_F(StartupTest, RunWithTheWindowGoesThroughTheDialogOnTheMainThread) {
  const std::string path = JobFile(1);
  EXPECT_EQ(Run(app, {"-s", path.c_str()}), KPW_EXIT_OK);
  ASSERT_EQ(workers.Calls().size(), 1u);
  EXPECT_NE(workers.Calls()[0].thread, frame.mainThread);  // the dialog's worker
  const auto boxes = frame.host.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Es wurden 0 Dateien kopiert!");
  EXPECT_EQ(boxes[0].thread, frame.mainThread);
  EXPECT_EQ(frame.quits, 1);
  EXPECT_EQ(frame.Notes(), (std::vector<std::string>{"Show5"}));
}

TEST_F(StartupTest, FlagsExitStatusAndSavedTimeOfStartupRuns) {
  const u32 notRun = ~0u, sched = RUN_SCHEDULE, newer = RUN_NEWER_ONLY;
  const u32 keep = RUN_NO_OVERWRITE | RUN_KEEP_READONLY;
  // Each file last ran 384 seconds before now.
  const struct {
    std::vector<const char*> switches;
    u32 word;
    int result, exit;
    u32 flags;
    bool saved;
  } cases[] = {
      {{"-S", "-N"}, 0x0, JOB_DONE, KPW_EXIT_OK, sched, true},
      {{"-S", "-N", "-A"}, 0x8000, JOB_DONE, KPW_EXIT_OK, newer, true},
      {{"-S", "-N"}, 0xE000, JOB_DONE, KPW_EXIT_OK, sched | newer | keep, true},
      {{"-S", "-N", "-A"}, 0x6000, JOB_DONE, KPW_EXIT_OK, keep, true},
      {{"-S"}, 0x2000, JOB_DONE, KPW_EXIT_OK, RUN_DIALOG | sched | RUN_KEEP_READONLY, true},
      {{"-S", "-N"}, 0x1000, JOB_DONE, KPW_EXIT_OK, sched, false},  // no store time
      {{"-S", "-N"}, 0x1, JOB_DONE, KPW_EXIT_OK, notRun, false},    // a day has not passed
      {{"-S", "-N"}, 0x0, JOB_FAILED, KPW_EXIT_FAILED, sched, true},
      {{"-S", "-N"}, 0x0, JOB_STOP_ALL, KPW_EXIT_STOPPED, sched, false},
  };
  for (const auto& c : cases) {
    const std::size_t before = workers.Calls().size();
    const std::string path = JobFile(1, FmtString("/ZEITPLAN=0x%X,1\r\n/LETZTE=0x684EE000\r\n", c.word));
    const std::string text = ReadFile(path);
    const auto mtime = fs::last_write_time(path);
    if (c.flags != notRun) workers.QueueResult(c.result);
    ScriptedFrame f;
    CKopiwartApp a(f);
    a.SetEnvironment(env);
    std::vector<const char*> args = {path.c_str()};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    EXPECT_EQ(Run(a, args), c.exit) << c.word;
    EXPECT_EQ(f.quits, 1);
    const auto calls = workers.Calls();
    ASSERT_EQ(calls.size(), before + (c.flags == notRun ? 0 : 1)) << c.word;
    if (c.flags != notRun) {
      EXPECT_EQ(calls.back().flags, c.flags) << c.word;
    }
    if (c.saved) {
      EXPECT_EQ(ReadFile(path), JobFilePatchLastRun(text, static_cast<u32>(kNow))) << c.word;
    } else {
      EXPECT_EQ(fs::last_write_time(path), mtime) << c.word;
    }
  }
}

TEST_F(StartupTest, SavesOnlyTheLastRunTimeAndKeepsWhatTheReaderSkips) {
  // A row without a target and an unknown line: the reader passes over both; saving must not.
  const std::string extra = "[EINTRAG]\r\n\tQ:/ohne-ziel\r\n; Notiz des Benutzers\r\n";
  const std::string path = JobFile(1, "/ZEITPLAN=0x1,1\r\n/LETZTE=0x1\r\n", extra);
  const std::string before = ReadFile(path);
  EXPECT_EQ(Run(app, {path.c_str(), "-S", "-N"}), KPW_EXIT_OK);
  EXPECT_EQ(ReadFile(path), JobFilePatchLastRun(before, static_cast<u32>(kNow)));
  EXPECT_NE(ReadFile(path).find("; Notiz des Benutzers\r\n/ZEITPLAN=0x1,1\r\n/LETZTE=0x684EE180\r\n"),
            std::string::npos);
  EXPECT_FALSE(app.GetDocument()->IsModified());

  const std::string crlf = "[EINTRAG]\r\n\tQ:/a\r\n/LETZTE=0x5\r\n/ZEITPLAN=0x1,1\r\n\t/letzte=0x6\r\nrest";
  EXPECT_EQ(JobFilePatchLastRun(crlf, 0x684EE180),
            "[EINTRAG]\r\n\tQ:/a\r\n/LETZTE=0x5\r\n/ZEITPLAN=0x1,1\r\n\t/LETZTE=0x684EE180\r\nrest");
  // None yet: appended with the file's own line end. A value is not a switch line; 0 removes the
  // line; bytes that are not UTF-8 stay as they are.
  EXPECT_EQ(JobFilePatchLastRun("\tQ:/a\n/ZEITPLAN=0x0,1", 0x10), "\tQ:/a\n/ZEITPLAN=0x0,1\n/LETZTE=0x10\n");
  EXPECT_EQ(JobFilePatchLastRun("", 0x10), "/LETZTE=0x10\r\n");
  EXPECT_EQ(JobFilePatchLastRun("\tQ:/LETZTE=1\r\n", 0x10), "\tQ:/LETZTE=1\r\n/LETZTE=0x10\r\n");
  EXPECT_EQ(JobFilePatchLastRun("a\r\n/LETZTE=0x5\r\nb\r\n", 0), "a\r\nb\r\n");
  EXPECT_EQ(JobFilePatchLastRun("\tQ:/M\xFCll\r\n/LETZTE=0x1\r\n", 2), "\tQ:/M\xFCll\r\n/LETZTE=0x2\r\n");
}

TEST_F(StartupTest, ACancelStopsTheRunningRunAndNoneStartsAfterIt) {
  const std::string path = JobFile(3);
  workers.QueueAction([this](JobContext&, const JobArgs&) {
    app.RequestCancel();
    return JOB_DONE;
  });
  testing::internal::CaptureStderr();
  EXPECT_EQ(Run(app, {path.c_str(), "-S", "-N"}), KPW_EXIT_STOPPED);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Abbruch"), std::string::npos);
  EXPECT_EQ(workers.Calls().size(), 1u);
  EXPECT_EQ(ReadFile(path).find("/LETZTE="), std::string::npos);
  // Asked before the run began: it never starts.
  ScriptedFrame f;
  CKopiwartApp a(f);
  testing::internal::CaptureStderr();
  a.RequestCancel();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Run(a, {path.c_str(), "-S", "-N"}), KPW_EXIT_STOPPED);
  EXPECT_EQ(workers.Calls().size(), 1u);
}

TEST_F(StartupTest, ClosingDuringAHiddenRunCancelsAndWaits) {
  const std::string path = JobFile(3);
  std::atomic<bool> inRun{false};
  workers.QueueAction([&](JobContext& ctx, const JobArgs&) {
    inRun = true;
    EXPECT_TRUE(kpwtest::WaitUntil([&] { return ctx.run.IsCancelled(); })) << "closing did not cancel the run";
    return JOB_DONE;
  });
  ASSERT_TRUE(Init({path.c_str(), "-S", "-N"}));
  EXPECT_TRUE(kpwtest::WaitUntil([&] { return inRun.load(); })) << "the hidden run did not reach its row";
  EXPECT_EQ(app.GetView()->GetHiddenRun(), 1);
  {
    const kpwtest::Deadline deadline("closing during a hidden run");
    app.OnClose();  // returns only after the run thread ended
  }
  EXPECT_EQ(frame.quits, 1);
  EXPECT_EQ(frame.status, KPW_EXIT_STOPPED);
  EXPECT_EQ(workers.Calls().size(), 1u);
  app.ExitInstance();
}

TEST_F(StartupTest, ConfigureRegistersBothTypesAndReports) {
  const std::string data = dir / "data";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  EXPECT_TRUE(app.OnConfigure("/opt/kopiwart/bin/kopiwart"));
  EXPECT_NE(ReadFile(data + "/applications/kopiwart-kpw-open.desktop")
                .find("Exec=/opt/kopiwart/bin/kopiwart %f /S /A /N\n"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(data + "/applications/kopiwart-kpw-bearbeiten.desktop"));
  EXPECT_NE(ReadFile(data + "/mime/packages/kopiwart-ssy.xml").find("Kopiwart Puffer"), std::string::npos);
  // A data folder that cannot be made (a file in its place): the failure message.
  kpwtest::WriteFile(dir / "blocked", "x");
  ::setenv("XDG_DATA_HOME", (dir / "blocked").c_str(), 1);
  EXPECT_FALSE(app.OnConfigure("/opt/kopiwart/bin/kopiwart"));
  ::unsetenv("XDG_DATA_HOME");
  const auto boxes = frame.host.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text + "|" + boxes[0].caption, "Konfigurieren abgeschlossen|Meldung");
  EXPECT_EQ(boxes[0].type, u32{MB_ICONINFORMATION});
  EXPECT_EQ(boxes[1].text + "|" + boxes[1].caption, "Fehler beim Konfigurieren|Fehler");
  EXPECT_EQ(boxes[1].type, u32{MB_ICONHAND});
}

// An editor saves the job file while its rows run: the run's time goes into what the editor
// saved when the rows are still those that ran, else the file is left as the editor saved it.
class SaveDuringRunTest : public StartupTest {
 protected:
  // Runs "path -S -N" with the rows given; the editor saves edited during the first row.
  int RunWithEdit(const std::string& path, const std::string& edited, kpwtest::EditorStyle style) {
    workers.QueueAction([&](JobContext&, const JobArgs&) {
      EXPECT_TRUE(kpwtest::EditorSave(path, edited, style));
      return JOB_DONE;
    });
    return RunApp(path);
  }
  int RunApp(const std::string& path) {
    ScriptedFrame f;
    CKopiwartApp a(f);
    a.SetEnvironment(env);
    const int status = Run(a, {path.c_str(), "-S", "-N"});
    boxes.clear();
    for (const auto& box : f.host.Boxes()) boxes.push_back(box.text);
    errors = f.host.Errors();
    return status;
  }
  // Only the job file and the configuration folder: no temporary file stays beside.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> boxes, errors;
};

TEST_F(SaveDuringRunTest, EditsOfRenamingAndInPlaceEditorsAreKept) {
  const std::string path = JobFile(2, "/ZEITPLAN=0x0,1\r\n/LETZTE=0x684EE000\r\n");
  const std::string original = ReadFile(path);
  // The same rows with a note and another schedule; or a row that now copies elsewhere.
  std::string sameRows = "; Notiz des Benutzers\r\n" + original;
  sameRows.replace(sameRows.find("/ZEITPLAN=0x0,1"), 15, "/ZEITPLAN=0x8001,7");
  std::string otherRows = original;
  otherRows.replace(otherRows.find("\tZ:/dst"), 7, "\tZ:/neu");
  for (const auto style : {kpwtest::EditorStyle::Renaming, kpwtest::EditorStyle::InPlace}) {
    const int name = static_cast<int>(style);
    kpwtest::WriteFile(path, original);
    EXPECT_EQ(RunWithEdit(path, sameRows, style), KPW_EXIT_OK) << name;
    EXPECT_EQ(ReadFile(path), JobFilePatchLastRun(sameRows, static_cast<u32>(kNow))) << name;
    EXPECT_TRUE(boxes.empty()) << name;

    kpwtest::WriteFile(path, original);
    EXPECT_EQ(RunWithEdit(path, otherRows, style), KPW_EXIT_OK) << name;
    EXPECT_EQ(ReadFile(path), otherRows) << name;
    EXPECT_EQ(boxes, std::vector<std::string>{JobFileChangedText(path)}) << name;
    EXPECT_TRUE(errors.empty()) << name;
    EXPECT_EQ(Names(), (std::vector<std::string>{"config", "jobs.kpw"})) << name;
  }
  EXPECT_EQ(workers.Calls().size(), 8u);
  // A file removed meanwhile is not made anew.
  kpwtest::WriteFile(path, original);
  EXPECT_EQ(RunWithEdit(path, "", kpwtest::EditorStyle::Removing), KPW_EXIT_OK);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(boxes, std::vector<std::string>{JobFileChangedText(path)});
  EXPECT_EQ(JobFileChangedText("/a.kpw"),
            "Die Kopiwart-Datei\n/a.kpw\nwurde während des Laufs geändert; sie bleibt, wie sie ist, und die Zeit "
            "dieses Laufs wird nicht gespeichert.");
}

// The editor saves in the last moment, after the run read the file and wrote its own beside it:
// the check before the rename sees it, and the run starts over on what the editor saved.
TEST_F(SaveDuringRunTest, ASaveJustBeforeTheRenameIsSeenAndTheRunStartsOver) {
  const std::string path = JobFile(1, "/ZEITPLAN=0x0,1\r\n");
  const std::string original = ReadFile(path);
  const std::string sameRows = original + "; gespeichert im letzten Augenblick\r\n";
  std::string otherRows = original;
  otherRows.replace(otherRows.find("/src0"), 5, "/quelle");
  struct Case {
    std::vector<std::string> saves;  // what the editor saves before each rename of the run
    std::string result;
    bool told;
  } cases[] = {
      {{sameRows}, JobFilePatchLastRun(sameRows, static_cast<u32>(kNow)), false},
      {{otherRows}, otherRows, true},
      // Saving again and again: after three tries the file stays as the editor left it.
      {{sameRows + "1", sameRows + "2", sameRows + "3"}, sameRows + "3", true},
  };
  for (const Case& c : cases) {
    kpwtest::WriteFile(path, original);
    std::size_t syncs = 0;
    kpwtest::ReplaceFault fault([&](SysReplaceStep step) {
      if (step == SysReplaceStep::Sync && syncs < c.saves.size()) {
        EXPECT_TRUE(kpwtest::EditorSave(path, c.saves[syncs], kpwtest::EditorStyle::Renaming));
        ++syncs;
      }
      return 0;
    });
    EXPECT_EQ(RunApp(path), KPW_EXIT_OK) << c.result;
    EXPECT_EQ(syncs, c.saves.size());
    EXPECT_EQ(ReadFile(path), c.result);
    EXPECT_EQ(boxes, c.told ? std::vector<std::string>{JobFileChangedText(path)} : std::vector<std::string>{});
    EXPECT_EQ(Names(), (std::vector<std::string>{"config", "jobs.kpw"}));
  }
}

}  // namespace
