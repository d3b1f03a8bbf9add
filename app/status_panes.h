// The main frame's status-pane service: which panes the status bar shows, their owners and colours.
//
// Layout of the status bar: pane 0 the message pane, then the base panes (owner 1, set by
// SetStatusPanes), then the groups of AddStatusPanes (owner = group id, the newest first), then the
// three indicator panes. Callers name panes by number: n >= 0 is status pane n + 1, a negative n
// counts back so that -1 is the last pane before the indicators. Groups are inserted in front of
// the older ones, so a group's negative numbers stay valid while others come and go.
//
// The indicator panes show the lock keys (SetLockKeys) and nothing else; callers cannot write there.
//
// Every call before the status bar exists (BarCreated) answers 0 and changes nothing. All calls
// are serialised by one lock, so any thread may call; the observer is told under that lock and
// must not call back into the service.
#pragma once

#include "platform/win_types.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Operations of WM_STATUS_PANE_CALL.
inline constexpr UINT WM_STATUS_PANE_CALL = 0x524;
inline constexpr UINT WM_STATUS_PANE_DRAW = 0x523;

// A colour 0x00BBGGRR; a negative colour means the palette's default.
using PaneColor = std::int32_t;

struct StatusPane {
  std::string text;
  int width = 0;  // pixels
  int style = 0;
  PaneColor textColor = -1;
  PaneColor backColor = -1;
  int owner = 0;  // 0 the frame's own panes, 1 base panes, else the group id
  bool Colored() const { return textColor >= 0 || backColor >= 0; }
  bool operator==(const StatusPane&) const = default;
};

// Which lock keys are locked (their lights on).
struct LockKeyState {
  bool caps = false;
  bool num = false;
  bool scroll = false;
  bool operator==(const LockKeyState&) const = default;
};

// Where the lock keys' states come from: the desktop's keyboard, or a test's fake.
class ILockKeySource {
 public:
  virtual ~ILockKeySource() = default;
  // nullopt when the states cannot be read now.
  virtual std::optional<LockKeyState> Read() = 0;
};

// What the status bar must show; the Qt frame implements it.
class IStatusPaneObserver {
 public:
  virtual ~IStatusPaneObserver() = default;
  // The number, order or widths of the panes changed: show all of them anew.
  virtual void PanesLaidOut(const std::vector<StatusPane>& panes) = 0;
  // The text or colours of one status pane changed.
  virtual void PaneChanged(int index, const StatusPane& pane) = 0;
};

class CStatusPanes {
 public:
  static constexpr int kMaxPanes = 25;  // status panes in all, indicators included
  static constexpr int kMaxBasePanes = 8;
  static constexpr int kIndicators = 3;
  static constexpr int kDefaultWidth = 50;  // pixels, when no widths are given
  static constexpr int kFirstGroupId = 2;
  static constexpr int kLastGroupId = 0xFFFF;

  explicit CStatusPanes(IStatusPaneObserver* observer = nullptr) : observer_(observer) {}

  // The status bar window now exists with its message pane and three indicators, or is gone.
  void BarCreated();
  void BarDestroyed();

  // The status-font unit from the status font: its average character width, else two thirds of
  // its height, else 7; at most 25 pixels.
  static int FontUnit(int charWidth, int height);
  void SetFontUnit(int unit);

  // Operation 0: replaces the base panes. count at most 8; a negative count counts the texts up to
  // the first null. Negative widths are in status-font units; no widths give 50 pixels each.
  // Returns the number of panes set.
  int SetStatusPanes(const char* const* texts, const int* widths, int count);
  // Operation 1: 1 done, 0 not possible. Both colours negative set plain text.
  int SetStatusPaneText(int pane, const char* text, int style, PaneColor textColor, PaneColor backColor);
  // Operation 2: removes the panes behind the base panes that group 2 owns; the panes left.
  int RemoveStatusPanes();
  // Operation 3: inserts a new group behind the base panes, cut so that the bar keeps at most 25
  // panes. (negative pane number of its first pane << 16) | group id, or -1 when nothing fits.
  int AddStatusPanes(const char* const* texts, const int* widths, int count);
  // Operation 4: keeps the text and changes the colours; negative colours make the pane plain.
  int SetStatusPaneColors(int pane, int style, PaneColor textColor, PaneColor backColor);

  // The lock keys the indicator panes show: a locked key's text, an empty pane for a key that is
  // not locked, all three empty for nullopt (states unknown). Kept for a bar made later. True
  // when anything changed.
  bool SetLockKeys(std::optional<LockKeyState> state);

  // The message's dispatch: words points to the operation's argument words. Unknown operations
  // answer 1.
  LRESULT OnStatusPaneCall(WPARAM operation, const LPARAM* words);

  std::vector<StatusPane> Panes() const;
  int NextGroupId() const;

 private:
  int PaneIndex(int pane) const;  // status pane index, or -1
  int ToPixels(int width) const { return width < 0 ? -width * fontUnit_ : width; }
  void LaidOut();
  void Changed(int index);
  void ShowLockKeys(bool tell);

  std::optional<LockKeyState> lockKeys_;
  mutable std::mutex mutex_;
  IStatusPaneObserver* observer_;
  bool barExists_ = false;
  bool ready_ = false;  // SetStatusPanes was called on this bar
  int baseCount_ = 0;
  int nextGroupId_ = kFirstGroupId;
  int fontUnit_ = 7;
  std::vector<StatusPane> panes_;
};
