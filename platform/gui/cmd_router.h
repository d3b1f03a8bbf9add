// Commands by numeric id with update-UI handlers, and the glue to Qt's actions, menus and bars.
#pragma once

#include "platform/win_types.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QObject;
class QTimer;
class QWidget;

// What an update handler sets for one command: enabled, check state, and maybe a new text.
class CCmdUI {
 public:
  explicit CCmdUI(UINT id) : m_nID(id) {}
  void Enable(BOOL on = TRUE) { enabled_ = on != FALSE; }
  void SetCheck(int check = 1) { check_ = check; }  // 0 off, 1 on, 2 indeterminate
  void SetText(std::string text) { text_ = std::move(text); }

  bool IsEnabled() const { return enabled_; }
  int GetCheck() const { return check_; }
  const std::optional<std::string>& GetText() const { return text_; }

  const UINT m_nID;

 private:
  bool enabled_ = true;
  int check_ = 0;
  std::optional<std::string> text_;
};

// Gives every item of the menu without one an underlined letter ("&"): the first letter of a
// word that no other item of the menu has, else any such letter.
void AssignMnemonics(QMenu* menu);

// The command table of one window (a message map's ON_COMMAND and ON_UPDATE_COMMAND_UI lines).
// Main thread only.
class CCommandRouter {
 public:
  using CommandFn = std::function<void()>;
  using RangeFn = std::function<void(UINT id)>;
  using UpdateFn = std::function<void(CCmdUI&)>;

  CCommandRouter();
  ~CCommandRouter();
  CCommandRouter(const CCommandRouter&) = delete;
  CCommandRouter& operator=(const CCommandRouter&) = delete;

  void OnCommand(UINT id, CommandFn fn);
  void OnCommandRange(UINT first, UINT last, RangeFn fn);
  void OnUpdateCommandUI(UINT id, UpdateFn fn);
  void OnUpdateCommandUIRange(UINT first, UINT last, std::function<void(CCmdUI&)> fn);

  bool HasCommand(UINT id) const;
  // The state of a command: its update handler's word; without one, enabled exactly when a
  // command handler exists (so a command nobody handles is grey).
  CCmdUI Query(UINT id) const;
  // Runs the command when it has a handler and its update handler leaves it enabled (a key press
  // on a grey command does nothing). True when it ran.
  bool Execute(UINT id);

  // Ties an action to a command id: triggering it executes the command, refreshing it applies
  // the update handler.
  void BindAction(QAction* action, UINT id);
  // Refreshes the menu's bound actions whenever it is about to be shown.
  void WatchMenu(QMenu* menu);
  // Refreshes the bound actions of the widget (a toolbar) on the idle tick.
  void WatchOnIdle(QWidget* bar);
  // Runs fn on every idle tick too, after the bars (a window title that follows a state).
  void OnIdle(std::function<void()> fn) { idle_.push_back(std::move(fn)); }
  // Starts the idle tick (a short period, 200 ms by default).
  void StartIdleTick(int periodMs = 200);
  // One tick by hand: refreshes the watched bars now.
  void RunIdleUpdate();

  // Applies the update handler to every bound action among these.
  void RefreshActionsOf(QWidget* widget);
  void Refresh(QAction* action);

  // The id bound to an action, or 0.
  static UINT CommandIdOf(const QAction* action);

 private:
  struct Range {
    UINT first, last;
    RangeFn fn;
  };
  struct UpdateRange {
    UINT first, last;
    UpdateFn fn;
  };

  std::unique_ptr<QObject> context_;  // owns the connections and the idle timer
  QTimer* idleTimer_ = nullptr;
  std::map<UINT, CommandFn> commands_;
  std::map<UINT, UpdateFn> updates_;
  std::vector<Range> ranges_;
  std::vector<UpdateRange> updateRanges_;
  std::vector<QWidget*> idleBars_;
  std::vector<std::function<void()>> idle_;
};
