// Routing command ids to handlers and keeping actions, menus and bars in step with them.
#include "platform/gui/cmd_router.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QTimer>
#include <QVariant>
#include <QWidget>

namespace {
constexpr char kIdProperty[] = "kpwCommandId";
}

CCommandRouter::CCommandRouter() : context_(std::make_unique<QObject>()) {}

CCommandRouter::~CCommandRouter() = default;

void CCommandRouter::OnCommand(UINT id, CommandFn fn) {
  commands_[id] = std::move(fn);
}

void CCommandRouter::OnCommandRange(UINT first, UINT last, RangeFn fn) {
  ranges_.push_back({first, last, std::move(fn)});
}

void CCommandRouter::OnUpdateCommandUI(UINT id, UpdateFn fn) {
  updates_[id] = std::move(fn);
}

void CCommandRouter::OnUpdateCommandUIRange(UINT first, UINT last, UpdateFn fn) {
  updateRanges_.push_back({first, last, std::move(fn)});
}

bool CCommandRouter::HasCommand(UINT id) const {
  if (commands_.count(id)) return true;
  for (const Range& r : ranges_)
    if (id >= r.first && id <= r.last) return true;
  return false;
}

CCmdUI CCommandRouter::Query(UINT id) const {
  CCmdUI ui(id);
  ui.Enable(HasCommand(id) ? TRUE : FALSE);
  if (const auto it = updates_.find(id); it != updates_.end() && it->second) {
    ui.Enable(TRUE);  // an update handler decides alone
    it->second(ui);
    return ui;
  }
  for (const UpdateRange& r : updateRanges_) {
    if (id < r.first || id > r.last || !r.fn) continue;
    ui.Enable(TRUE);
    r.fn(ui);
    break;
  }
  return ui;
}

bool CCommandRouter::Execute(UINT id) {
  if (!HasCommand(id) || !Query(id).IsEnabled()) return false;
  if (const auto it = commands_.find(id); it != commands_.end()) {
    const CommandFn fn = it->second;  // a copy: the command may change the table
    if (fn) fn();
    return true;
  }
  for (const Range& r : ranges_) {
    if (id < r.first || id > r.last) continue;
    const RangeFn fn = r.fn;
    if (fn) fn(id);
    return true;
  }
  return false;
}

UINT CCommandRouter::CommandIdOf(const QAction* action) {
  return action ? action->property(kIdProperty).toUInt() : 0;
}

void CCommandRouter::BindAction(QAction* action, UINT id) {
  action->setProperty(kIdProperty, id);
  QObject::connect(action, &QAction::triggered, context_.get(), [this, id] { Execute(id); });
  Refresh(action);
}

void CCommandRouter::Refresh(QAction* action) {
  const UINT id = CommandIdOf(action);
  if (!id) return;
  const CCmdUI ui = Query(id);
  action->setEnabled(ui.IsEnabled());
  if (ui.GetCheck() != 0 && !action->isCheckable()) action->setCheckable(true);
  if (action->isCheckable()) action->setChecked(ui.GetCheck() != 0);
  if (ui.GetText()) action->setText(QString::fromStdString(*ui.GetText()));
}

void CCommandRouter::RefreshActionsOf(QWidget* widget) {
  for (QAction* action : widget->actions()) Refresh(action);
}

void CCommandRouter::WatchMenu(QMenu* menu) {
  QObject::connect(menu, &QMenu::aboutToShow, context_.get(), [this, menu] { RefreshActionsOf(menu); });
}

void CCommandRouter::WatchOnIdle(QWidget* bar) {
  idleBars_.push_back(bar);
  // A bar that goes leaves the list, so the tick never touches a dead widget.
  QObject::connect(bar, &QObject::destroyed, context_.get(), [this, bar] { std::erase(idleBars_, bar); });
}

void CCommandRouter::StartIdleTick(int periodMs) {
  if (!idleTimer_) {
    idleTimer_ = new QTimer(context_.get());  // the context owns it
    QObject::connect(idleTimer_, &QTimer::timeout, context_.get(), [this] { RunIdleUpdate(); });
  }
  idleTimer_->start(periodMs);
}

void CCommandRouter::RunIdleUpdate() {
  const std::vector<QWidget*> bars = idleBars_;
  for (QWidget* bar : bars)
    if (bar->isVisible()) RefreshActionsOf(bar);
  const std::vector<std::function<void()>> idle = idle_;
  for (const auto& fn : idle) fn();
}

void AssignMnemonics(QMenu* menu) {
  if (!menu) return;
  QString used;
  const QList<QAction*> actions = menu->actions();
  for (QAction* action : actions) {
    const QString text = action->text();
    const qsizetype amp = text.indexOf(QLatin1Char('&'));
    if (amp >= 0 && amp + 1 < text.size()) used += text[amp + 1].toLower();
  }
  for (QAction* action : actions) {
    QString text = action->text();
    if (action->isSeparator() || text.isEmpty() || text.contains(QLatin1Char('&'))) continue;
    qsizetype at = -1;
    for (int pass = 0; pass < 2 && at < 0; ++pass) {
      for (qsizetype i = 0; i < text.size() && at < 0; ++i) {
        const QChar c = text[i];
        const bool wordStart = i == 0 || !text[i - 1].isLetterOrNumber();
        if (c.isLetterOrNumber() && (pass == 1 || wordStart) && !used.contains(c.toLower())) at = i;
      }
    }
    if (at < 0) continue;
    used += text[at].toLower();
    text.insert(at, QLatin1Char('&'));
    action->setText(text);
  }
}
