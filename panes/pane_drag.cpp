// The drag contract of the browser panes.
#include "panes/pane_drag.h"

#include <charconv>

int CPaneDragTarget::DragOver(int x, int y, u32 keyState, int count, int* code) const {
  int hit = 0;
  if (!m_hitTest || !m_effect || !m_hitTest(x, y, &hit)) return PANE_DROPEFFECT_NONE;
  if (code) *code = hit;
  return m_effect(keyState, &hit, count);
}

bool CPaneDragTarget::Drop(int x, int y, u32 keyState, const std::vector<std::string>& texts, int kind) const {
  int code = 0;
  if (texts.empty() || !m_drop) return false;
  if (DragOver(x, y, keyState, static_cast<int>(texts.size()), &code) == PANE_DROPEFFECT_NONE) return false;
  m_drop(texts, kind, code, m_context);
  return true;
}

std::string PaneDragBytes(const PaneDragData& data) {
  std::string bytes = std::to_string(data.paneId);
  bytes += '\0';
  bytes += std::to_string(data.kind);
  bytes += '\0';
  for (const std::string& text : data.texts) {
    bytes += text;
    bytes += '\0';
  }
  return bytes;
}

std::optional<PaneDragData> ParsePaneDragBytes(std::string_view bytes) {
  std::vector<std::string_view> fields;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\0');
    if (end == std::string_view::npos) return std::nullopt;  // every field ends with a NUL
    fields.push_back(bytes.substr(0, end));
    bytes.remove_prefix(end + 1);
  }
  if (fields.size() < 2) return std::nullopt;
  PaneDragData data;
  const auto number = [](std::string_view s, auto& out) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
  };
  if (!number(fields[0], data.paneId) || !number(fields[1], data.kind)) return std::nullopt;
  for (std::size_t i = 2; i < fields.size(); ++i) data.texts.emplace_back(fields[i]);
  return data;
}
