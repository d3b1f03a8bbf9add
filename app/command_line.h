// The program's command line: an optional job file and the switches -S, -A and -N.
#pragma once

#include <string>
#include <vector>

struct CommandLineInfo {
  std::string file;             // the job file, empty when none was named
  bool startAtOnce = false;     // S: run all rows at once, then end
  bool always = false;          // A: ignore the schedule
  bool noWindow = false;        // N: no window
  std::vector<std::string> unused;  // further job-file arguments, which are not used
};

// Scans the arguments after the program name. An argument beginning with "-" is a switch, and
// one beginning with "/" when it is exactly two characters long (so "/home/u/jobs.kpw" is a
// file); only the character after the sign counts, in either case: "S", "A" and "N"; others,
// and the sign alone, do nothing. The first other argument is the job file.
CommandLineInfo ParseCommandLine(int argc, const char* const* argv);

// The job file as the command line names it: text a user wrote, where "\" separates like "/";
// a file whose name really holds the "\" is taken as it stands when it exists.
std::string CommandLineFilePath(const std::string& file);
