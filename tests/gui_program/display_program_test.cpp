// The program with a window, run as a child as a user starts it: "-S -N" on an X server with a
// system tray shows its tray icon during the run and ends by itself; a display that does not
// answer never ends the program by a signal.
#include "tests/support/files.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using kpwtest::Quote;
using Clock = std::chrono::steady_clock;

const std::string kProgram = std::string(KPW_BUILD_DIR) + "/app/kopiwart";

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// A process of the test's own, ended by its PID.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }
  // Runs argv with the environment's changes ("NAME=value"; "NAME=" removes NAME); fd stays open
  // in the child when given.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env, int keepFd = -1) {
    m_pid = ::fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      for (int fd = 3; fd < 1024; ++fd)
        if (fd != keepFd) ::close(fd);
      for (const std::string& e : env) {
        const std::size_t eq = e.find('=');
        if (eq + 1 == e.size()) ::unsetenv(e.substr(0, eq).c_str());
        else ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    return true;
  }
  // The exit status once it has ended (128 + signal), nothing while it runs.
  std::optional<int> Poll() {
    if (m_pid <= 0) return m_status;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return std::nullopt;
    m_pid = -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
  }
  void Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!Poll() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
  }

 private:
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

// An X server of its own (Xvfb on the first free display number) with a system tray (trayer).
class TrayDesktop {
 public:
  // False, with the reason, when the server or the tray cannot run here.
  bool Start(std::string& why) {
    if (!kpwtest::HaveTool("Xvfb") || !kpwtest::HaveTool("trayer") || !kpwtest::HaveTool("xwininfo")) {
      why = "Xvfb, trayer or xwininfo is not installed (scripts/packages.txt)";
      return false;
    }
    int fds[2];
    if (::pipe(fds) != 0) return false;
    // The server writes the number it took to the descriptor once it listens.
    const bool started = m_server.Start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen",
                                         "0", "1024x768x24"},
                                        {}, fds[1]);
    ::close(fds[1]);
    std::string number;
    if (started) {
      char c;
      const int flags = ::fcntl(fds[0], F_GETFL);
      ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
      const auto deadline = Clock::now() + std::chrono::seconds(20);
      while (Clock::now() < deadline && (number.empty() || number.back() != '\n')) {
        const ssize_t n = ::read(fds[0], &c, 1);
        if (n == 1) number += c;
        else if (n == 0 || m_server.Poll()) break;
        else std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ::close(fds[0]);
    if (number.empty() || number.back() != '\n') {
      why = "Xvfb did not start";
      return false;
    }
    number.pop_back();
    display = ":" + number;
    if (!m_tray.Start({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24"},
                      {"DISPLAY=" + display})) {
      why = "trayer did not start";
      return false;
    }
    if (!WaitFor([this] { return Tree().find("(\"panel\" \"trayer\")") != std::string::npos; })) {
      why = "the tray did not come up";
      return false;
    }
    return true;
  }
  // The window tree of the server.
  std::string Tree() const {
    return kpwtest::Shell("DISPLAY=" + display + " xwininfo -root -tree 2>/dev/null");
  }
  // Whether a window of the program sits in the tray (a child of the tray's panel).
  bool IconInTray() const {
    std::istringstream lines(Tree());
    std::string line;
    std::size_t panelIndent = std::string::npos;
    while (std::getline(lines, line)) {
      const std::size_t indent = line.find_first_not_of(' ');
      if (line.find("(\"panel\" \"trayer\")") != std::string::npos) {
        panelIndent = indent;
        continue;
      }
      if (panelIndent == std::string::npos) continue;
      if (indent <= panelIndent) panelIndent = std::string::npos;
      else if (line.find("(\"kopiwart\" \"kopiwart\")") != std::string::npos) return true;
    }
    return false;
  }
  // Whether a window of this title is mapped on the screen.
  bool Viewable(const std::string& title) const {
    const std::string info = kpwtest::Shell("DISPLAY=" + display + " xwininfo -name " + Quote(title) + " 2>/dev/null");
    return info.find("IsViewable") != std::string::npos;
  }
  template <typename Fn>
  static bool WaitFor(Fn done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return done();
  }

  std::string display;

 private:
  Child m_server;
  Child m_tray;
};

#define KPW_REQUIRE_DESKTOP(desktop)                                 \
  do {                                                               \
    std::string why;                                                 \
    if (!(desktop).Start(why)) {                                     \
      if (InCi()) FAIL() << "no X server with a tray: " << why;      \
      GTEST_SKIP() << "no X server with a tray here: " << why;       \
    }                                                                \
  } while (0)

struct JobFolders {
  JobFolders() {
    for (int i = 0; i < 3; ++i) kpwtest::WriteFile(dir / ("quelle/f" + std::to_string(i) + ".txt"), "x");
    kpwtest::WriteFile(file, "[EINTRAG]\r\n\tQ:" + (dir / "quelle") + "\r\n\tZ:" + (dir / "ziel") +
                                 "\r\n\t/UNTER\r\n/ZEITPLAN=0x0,1\r\n");
  }
  kpwtest::TempDir dir{"gui-program"};
  std::string file = dir / "jobs.kpw";
};

// The environment of a start: a private configuration, no session bus (the tray is found on the
// X server), no other display than the one given.
// In a sanitizer build the desktop's libraries' own leaks are not the program's.
std::vector<std::string> StartEnv(const std::string& config, const std::string& display) {
  return {"XDG_CONFIG_HOME=" + config, "DBUS_SESSION_BUS_ADDRESS=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=",
          "DISPLAY=" + display,
          "LSAN_OPTIONS=suppressions=" + std::string(KPW_TEST_DATA) + "/lsan_system_libraries.supp"};
}

TEST(GuiProgram, HiddenRunShowsItsTrayIconDuringTheRunAndEndsByItself) {
  TrayDesktop desktop;
  KPW_REQUIRE_DESKTOP(desktop);
  JobFolders f;
  Child program;
  const auto begin = Clock::now();
  ASSERT_TRUE(program.Start({kProgram, f.file, "-S", "-A", "-N"}, StartEnv(f.dir / "config", desktop.display)));
  bool iconSeen = false, windowSeen = false;
  std::optional<int> status;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!(status = program.Poll()) && Clock::now() < deadline) {
    iconSeen = iconSeen || desktop.IconInTray();
    windowSeen = windowSeen || desktop.Viewable("jobs.kpw - Kopiwart");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(status.has_value()) << "the program did not end by itself";
  EXPECT_EQ(*status, 0);
  EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(1000));  // the icon's least time
  EXPECT_TRUE(iconSeen);
  EXPECT_FALSE(windowSeen);
  EXPECT_FALSE(desktop.IconInTray());
  EXPECT_EQ(kpwtest::ReadFile(f.dir / "ziel/f2.txt"), "x");
  EXPECT_NE(kpwtest::ReadFile(f.file).find("/LETZTE="), std::string::npos);
}

// A display number that no server here answers on.
std::string DeadDisplay() {
  for (int n = 57; n < 200; ++n) {
    struct stat st {};
    if (::stat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &st) != 0) return ":" + std::to_string(n);
  }
  return ":199";
}

TEST(GuiProgram, ADisplayThatDoesNotAnswerNeverEndsTheProgramBySignal) {
  JobFolders f;
  const std::string dead = DeadDisplay();
  auto run = [&](const std::string& env, const std::string& args, std::string& err) {
    int status = -1;
    err = kpwtest::Shell("env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS XDG_CONFIG_HOME=" +
                             Quote(f.dir / "config") + " " + env + " " + Quote(kProgram) + " " + args +
                             " 2>&1 >/dev/null </dev/null",
                         &status);
    return status;
  };
  const std::string path = Quote(f.file);
  std::string err;
  // A start that needs the window ends with its message and status 2.
  for (const std::string& env : {"DISPLAY=" + dead, "QT_QPA_PLATFORM=xcb DISPLAY=" + dead,
                                 std::string("DISPLAY= WAYLAND_DISPLAY=/nonexistent/wayland-9")}) {
    EXPECT_EQ(run(env, path + " -N", err), 2) << env << ": " << err;
    EXPECT_NE(err.find("ist nicht erreichbar"), std::string::npos) << err;
    EXPECT_NE(err.find("kann hier nicht angezeigt werden"), std::string::npos) << err;
  }
  EXPECT_FALSE(kpwtest::Exists(f.dir / "ziel"));
  // "-S" runs without the window and says so; "-S -N" too, and names the display.
  EXPECT_EQ(run("DISPLAY=" + dead, path + " -S -A", err), 0) << err;
  EXPECT_NE(err.find("Die Anzeige DISPLAY=" + dead + " ist nicht erreichbar."), std::string::npos) << err;
  EXPECT_NE(err.find("wie mit -N"), std::string::npos) << err;
  EXPECT_EQ(kpwtest::ReadFile(f.dir / "ziel/f0.txt"), "x");
  EXPECT_EQ(run("DISPLAY=" + dead, path + " -S -A -N", err), 0) << err;
  EXPECT_NE(err.find("ist nicht erreichbar"), std::string::npos) << err;
  EXPECT_EQ(err.find("wie mit -N"), std::string::npos) << err;
}

}  // namespace
