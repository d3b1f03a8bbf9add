// The line framer of the shell's output.
#include "remote/commlib/line_framer.h"

#include <algorithm>
#include <cstring>

namespace commlib {

void LineFramer::EndLine(bool withNewline) {
  if (withNewline) m_partial += '\n';
  m_readyBytes += m_partial.size();
  m_ready.push_back(std::move(m_partial));
  m_partial.clear();
  m_pendingCr = false;
}

void LineFramer::Feed(const char* data, std::size_t n, Clock::time_point now) {
  if (n > 0) m_last = now;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    switch (m_escape) {
      case Escape::None:
        break;
      case Escape::Start:
        m_escape = c == '[' ? Escape::Csi : c == ']' ? Escape::Osc : (c >= 0x20 && c <= 0x2F) ? Escape::Intermediate
                                                                                                 : Escape::None;
        continue;
      case Escape::Intermediate:
        if (c < 0x20 || c > 0x2F) m_escape = Escape::None;
        continue;
      case Escape::Csi:
        if (c >= 0x40 && c <= 0x7E) m_escape = Escape::None;
        continue;
      case Escape::Osc:
        if (c == 0x07) m_escape = Escape::None;
        else if (c == 0x1B) m_escape = Escape::OscEscape;
        continue;
      case Escape::OscEscape:
        m_escape = c == '\\' ? Escape::None : Escape::Osc;
        continue;
    }
    if (c == 0x1B) {
      m_escape = Escape::Start;
      continue;
    }
    if (m_pendingCr) {
      if (c == '\r') continue;  // CR CR LF ends one line
      EndLine(true);
      if (c == '\n') continue;
    }
    if (c == '\r') {
      m_pendingCr = true;
    } else if (c == '\n') {
      EndLine(true);
    } else if (c >= 0x20 || c == '\t') {
      m_partial += static_cast<char>(c);
    }
    // Other control bytes (a bell, a backspace) carry no text.
  }
}

void LineFramer::Settle() {
  if (m_pendingCr) {
    EndLine(true);
  } else if (!m_partial.empty()) {
    EndLine(false);
  }
}

void LineFramer::Finish() {
  Settle();
  m_escape = Escape::None;
}

LineFramer::Clock::time_point LineFramer::SettleAt() const {
  if (!m_pendingCr && m_partial.empty()) return Clock::time_point::max();
  return m_last + kSettle;
}

bool LineFramer::Ready(Clock::time_point now) {
  if (m_ready.empty() && now >= SettleAt()) Settle();
  return !m_ready.empty();
}

std::size_t LineFramer::ReadyBytes() const {
  return m_readyBytes;
}

std::size_t LineFramer::Take(char* buffer, std::size_t count) {
  if (m_ready.empty() || count == 0) return 0;
  std::string& line = m_ready.front();
  const std::size_t n = std::min(count, line.size());
  std::memcpy(buffer, line.data(), n);
  m_readyBytes -= n;
  if (n == line.size())
    m_ready.pop_front();
  else
    line.erase(0, n);
  return n;
}

}  // namespace commlib
