// The archive base class: event routing and the operations that a concrete format provides.
#include "archive/arc_file.h"

#include "lib/text/fmt.h"

int CArcFile::Open(const char* path, int, int) {
  m_path = path ? path : "";
  SetError(ARC_ERR_NOT_AVAILABLE);
  return m_lastError;
}

int CArcFile::OpenMemory(const void*, std::size_t, const char* name) {
  m_path = name ? name : "";
  SetError(ARC_ERR_NOT_AVAILABLE);
  return m_lastError;
}

void CArcFile::SetCallback(void* context, ArcCallback fn) {
  m_context = context;
  m_callback = fn;
  m_allEvents = true;
  m_disabled = 0;
}

void CArcFile::DisableEvent(int code, int) {
  if (code < 0) m_disabled = ~u64{0};
  else if (code < 64) m_disabled |= u64{1} << code;
}

void CArcFile::EnableEvent(int code, int) {
  if (code < 0) m_disabled = 0;
  else if (code < 64) m_disabled &= ~(u64{1} << code);
}

bool CArcFile::IsEventEnabled(int code) const {
  if (!m_allEvents || code < 0) return false;
  return code >= 64 || !(m_disabled & (u64{1} << code));
}

int CArcFile::ExtractAll(const char*, const char*) {
  SetError(ARC_ERR_NOT_AVAILABLE);
  return m_lastError;
}

int CArcFile::AddTree(const char*, const char*, const char*, const char*) {
  SetError(ARC_ERR_NOT_AVAILABLE);
  return 0;
}

std::string CArcFile::GetErrorText() const {
  if (m_lastError == ARC_OK) return {};
  return FmtString("Fehler %i im Archiv:\n%s", m_lastError, m_path.c_str());
}

int CArcFile::Notify(int event, int index, const char* text) {
  if (!m_callback || !IsEventEnabled(event)) return 0;
  return m_callback(m_context, event, index, this, text);
}
