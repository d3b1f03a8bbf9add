// What the parts of the SSH adapter share: the shell's limits and the framing of its output lines.
#pragma once

#include "platform/win_types.h"

#include <atomic>
#include <cstddef>
#include <string>

namespace sshint {

// A command longer than this does not go out: a terminal line must hold it whole (its input
// buffer takes 4095 bytes), and a cut path could name another file.
inline constexpr std::size_t kCommandMax = 4000;
// The longest output line read at once.
inline constexpr int kLineMax = 4096;

// A sentinel line of its own: head, the counter's next value in hex, tail.
std::string Sentinel(const char* head, std::atomic<u32>& counter, const char* tail);
// The sentinel as the command line carries it: quoted apart, so that the terminal's echo of the
// line never holds it whole, and only the output of the echo command does.
std::string Spoken(const std::string& sentinel);
// The output line that the sentinel begins; a prompt that went out after the echo of a line typed
// ahead (dash) may stand before it. npos when it is not there.
std::size_t SentinelAt(const std::string& text, const std::string& sentinel);
// An output line without the blanks and line ends around it.
std::string Trim(const char* data, int n);
bool StartsWith(const std::string& s, const char* head);

}  // namespace sshint
