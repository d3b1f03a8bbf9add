// Cuts a terminal's output into lines: line ends, escape sequences, and unfinished lines that settle.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>

namespace commlib {

// Lines end at LF, CR LF or a lone CR; a run of CRs before an LF ends one line. ANSI escape
// sequences (CSI, OSC, two-byte ESC sequences) are dropped, also when a packet ends inside one.
// An unfinished line is held back until no byte has come for the settle time, so that a line
// that arrives in two packets is never delivered in halves; then it is delivered as it is.
class LineFramer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kSettle{100};

  void Feed(const char* data, std::size_t n, Clock::time_point now);
  // The output ended: what is held back is ready at once.
  void Finish();
  // Settles the unfinished line when its time has come; true when a line is ready.
  bool Ready(Clock::time_point now);
  // When the unfinished line settles; Clock::time_point::max() when nothing is held back.
  Clock::time_point SettleAt() const;
  // Bytes ready (lines with their "\n", settled text).
  std::size_t ReadyBytes() const;
  // Moves at most count bytes of the first ready line into buffer; the count (0: none ready).
  std::size_t Take(char* buffer, std::size_t count);

 private:
  enum class Escape { None, Start, Intermediate, Csi, Osc, OscEscape };
  void EndLine(bool withNewline);
  // Delivers what is held back (a lone CR ends its line).
  void Settle();

  std::deque<std::string> m_ready;
  std::size_t m_readyBytes = 0;
  std::string m_partial;
  bool m_pendingCr = false;
  Escape m_escape = Escape::None;
  Clock::time_point m_last{};
};

}  // namespace commlib
