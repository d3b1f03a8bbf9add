// The tray icon and the taskbar button: the plain functions a run without a visible window uses.
//
// The icon itself lives behind ITrayBackend (the desktop's system tray, or a recorder in tests).
// Linux has no taskbar interface to drive: a hidden window has no taskbar entry and a top-level
// box gets one by itself, so the button functions succeed without doing anything and the progress
// functions answer 0, as on a system without the richer interface.
#pragma once

#include "platform/win_types.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The tray icon's callback message and the mouse messages it carries.
inline constexpr UINT WM_TRAY_NOTIFY = 0x2F19;
inline constexpr UINT WM_LBUTTONDOWN = 0x0201;
inline constexpr UINT WM_RBUTTONDOWN = 0x0204;

// The icon resource of the program (the tray icon of a run without a window).
inline constexpr UINT IDR_MAINFRAME = 128;
// A tip holds at most this many characters.
inline constexpr int kTrayTipMaxChars = 63;

// The one tray icon of the program. Called on the main thread.
class ITrayBackend {
 public:
  using NotifyFn = std::function<void(UINT mouseMessage)>;
  virtual ~ITrayBackend() = default;
  // Shows the icon; false when it already shows or the desktop has no tray. No tip: no tool tip.
  virtual bool Add(UINT iconResource, const std::optional<std::string>& tip) = 0;
  // Changes the icon and tip of the icon that shows; false when none shows.
  virtual bool Modify(UINT iconResource, const std::optional<std::string>& tip) = 0;
  // Removes the icon; false when none shows.
  virtual bool Delete() = 0;
  // Where a button press on the icon goes (WM_LBUTTONDOWN or WM_RBUTTONDOWN).
  virtual void SetNotify(NotifyFn notify) = 0;
};

// The tip as the icon gets it: at most 63 characters, never cutting one in two.
std::string TrayTipText(std::string_view tip);

// NIM_ADD, NIM_MODIFY and NIM_DELETE of the icon; tip null gives no tool tip.
BOOL TrayIconAdd(ITrayBackend& tray, UINT iconResource, const char* tip);
BOOL TrayIconModify(ITrayBackend& tray, UINT iconResource, const char* tip);
BOOL TrayIconDelete(ITrayBackend& tray);

// The taskbar: nothing to set up, the button operations succeed, the progress ones answer 0.
BOOL TaskbarInit();
BOOL TaskbarDeleteTab();
BOOL TaskbarAddTab();
BOOL TaskbarSetProgressValue(u64 done, u64 total, u64 base);
BOOL TaskbarSetProgressState(u32 state);
