// Job files written from rows, and the program run on them unattended ("-S -A -N").
#pragma once

#include "tests/support/deadline.h"
#include "tests/support/files.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace kpwtest {

inline const std::string kKopiwart = std::string(KPW_BUILD_DIR) + "/app/kopiwart";
// The test build of the program: KPW_TEST_NOW fixes its clock, KPW_HOSTNAME its computer's name.
inline const std::string kKopiwartTest = std::string(KPW_BUILD_DIR) + "/tests/support/kopiwart-test";

// One row of a job file; the mode as its switch word ("" for "Copy").
struct JobRow {
  JobRow(std::string s, std::string t, std::string p = "", std::string m = "", std::string x = "",
         std::string mode = "", bool sub = true)
      : source(std::move(s)),
        target(std::move(t)),
        plus(std::move(p)),
        minus(std::move(m)),
        extra(std::move(x)),
        modeSwitch(std::move(mode)),
        subdirs(sub) {}
  std::string source, target, plus, minus, extra;
  std::string modeSwitch;
  bool subdirs = true;
};

inline void WriteJobRows(const std::string& path, const std::vector<JobRow>& rows, unsigned schedule = 0) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const JobRow& r : rows) {
    out << "[EINTRAG]\r\n\tQ:" << r.source << "\r\n";
    if (!r.target.empty()) out << "\tZ:" << r.target << "\r\n";
    if (!r.plus.empty()) out << "\tP:" << r.plus << "\r\n";
    if (!r.minus.empty()) out << "\tM:" << r.minus << "\r\n";
    if (!r.extra.empty()) out << "\tX:" << r.extra << "\r\n";
    if (r.subdirs) out << "\t/UNTER\r\n";
    if (!r.modeSwitch.empty()) out << "\t" << r.modeSwitch << "\r\n";
  }
  out << "/ZEITPLAN=0x" << std::hex << std::uppercase << schedule << ",1\r\n";
}

struct ProgramOptions {
  std::vector<std::pair<std::string, std::string>> env;  // names added to the environment
  rlim_t fileSizeLimit = RLIM_INFINITY;                  // as "ulimit -f" sets it
  std::string program = kKopiwart;
  bool asNobody = false;  // the program runs as user 65534
};

struct ProgramRun {
  int status = -1;  // exit status; -1 when the program did not end by itself
  std::string errors;
};

// Starts "program jobFile -S -A -N" without a display, SIGXFSZ as a shell leaves it; standard error
// is collected beside the job file. The process id.
inline pid_t StartJobFile(const std::string& jobFile, const ProgramOptions& options = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "DISPLAY=", 8) == 0 || std::strncmp(*e, "WAYLAND_DISPLAY=", 16) == 0 ||
        std::strncmp(*e, "QT_QPA_PLATFORM=", 16) == 0)
      continue;
    env.emplace_back(*e);
  }
  for (const auto& [name, value] : options.env) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string a0 = options.program, a1 = jobFile, a2 = "-S", a3 = "-A", a4 = "-N";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
  const std::string errFile = jobFile + ".stderr";
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int in = ::open("/dev/null", O_RDONLY);
  const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
  ::signal(SIGXFSZ, SIG_DFL);
  const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
  if (options.fileSizeLimit != RLIM_INFINITY && ::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
  if (options.asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
    ::_exit(127);
  ::execve(options.program.c_str(), argv, envp.data());
  ::_exit(127);
}

inline ProgramRun FinishJobFile(pid_t pid, const std::string& jobFile) {
  ProgramRun run;
  int status = 0;
  if (WaitProcess(pid, &status, "the program on " + jobFile) && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.errors = ReadFile(jobFile + ".stderr");
  return run;
}

inline ProgramRun RunJobFile(const std::string& jobFile, const ProgramOptions& options = {}) {
  return FinishJobFile(StartJobFile(jobFile, options), jobFile);
}

}  // namespace kpwtest
