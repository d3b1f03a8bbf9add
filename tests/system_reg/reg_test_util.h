// Shared helpers of the registry tests: a private store per run and child runs of this program.
#pragma once

#include <map>
#include <string>
#include <vector>

// The run's temporary folder; XDG_CONFIG_HOME, XDG_DATA_HOME and the machine hive lie below it.
const std::string& TestRoot();

// Runs this test program again with only the test "Child.<name>" and the given environment
// additions (KPW_REG_CHILD=<name> is always added); returns the exit status, -1 on failure.
int SpawnChild(const std::string& name, const std::map<std::string, std::string>& env, int* pid = nullptr);
int WaitChild(int pid);
inline int RunChild(const std::string& name, const std::map<std::string, std::string>& env = {}) {
  int pid = 0;
  if (SpawnChild(name, env, &pid) != 0) return -1;
  return WaitChild(pid);
}
// True inside a child run started for name.
bool IsChild(const std::string& name);

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
// UTF-8 text to UTF-16LE bytes with the byte-order mark, and back.
std::string Utf16File(const std::string& utf8);
std::string FromUtf16File(const std::string& bytes);
