// The tray icon's plain functions and the taskbar's stand-ins.
#include "app/tray_taskbar.h"

namespace {

std::optional<std::string> TipOf(const char* tip) {
  if (!tip) return std::nullopt;
  return TrayTipText(tip);
}

}  // namespace

std::string TrayTipText(std::string_view tip) {
  std::size_t end = 0;
  for (int chars = 0; end < tip.size() && chars < kTrayTipMaxChars; ++chars) {
    ++end;
    // The continuation bytes of a UTF-8 character belong to it.
    while (end < tip.size() && (static_cast<unsigned char>(tip[end]) & 0xC0) == 0x80) ++end;
  }
  return std::string(tip.substr(0, end));
}

BOOL TrayIconAdd(ITrayBackend& tray, UINT iconResource, const char* tip) {
  return tray.Add(iconResource, TipOf(tip)) ? TRUE : FALSE;
}

BOOL TrayIconModify(ITrayBackend& tray, UINT iconResource, const char* tip) {
  return tray.Modify(iconResource, TipOf(tip)) ? TRUE : FALSE;
}

BOOL TrayIconDelete(ITrayBackend& tray) {
  return tray.Delete() ? TRUE : FALSE;
}

BOOL TaskbarInit() {
  return TRUE;
}

BOOL TaskbarDeleteTab() {
  return TRUE;
}

BOOL TaskbarAddTab() {
  return TRUE;
}

BOOL TaskbarSetProgressValue(u64 done, u64 total, u64 base) {
  (void)done;
  (void)total;
  (void)base;
  return FALSE;
}

BOOL TaskbarSetProgressState(u32 state) {
  (void)state;
  return FALSE;
}
