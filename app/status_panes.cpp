// The main frame's status-pane service: base panes, groups, owner ids and the pane numbering.
#include "app/status_panes.h"

#include "app/app_texts.h"

#include <algorithm>

namespace {

// A negative count counts the texts up to the first null.
int CountOf(const char* const* texts, int count) {
  if (count >= 0) return count;
  int n = 0;
  while (texts && texts[n]) ++n;
  return n;
}

StatusPane NewPane(const char* const* texts, int i, int width, int owner) {
  StatusPane pane;
  if (texts && texts[i]) pane.text = texts[i];
  pane.width = width;
  pane.owner = owner;
  return pane;
}

}  // namespace

void CStatusPanes::BarCreated() {
  std::lock_guard lock(mutex_);
  barExists_ = true;
  ready_ = false;
  baseCount_ = 0;  // group ids go on counting: a new bar must not reuse an owner's id
  panes_.assign(1 + kIndicators, StatusPane{});
  ShowLockKeys(false);
  LaidOut();
}

void CStatusPanes::BarDestroyed() {
  std::lock_guard lock(mutex_);
  barExists_ = false;
  ready_ = false;
  panes_.clear();
}

int CStatusPanes::FontUnit(int charWidth, int height) {
  int unit = charWidth > 0 ? charWidth : height > 0 ? height * 2 / 3 : 0;
  if (unit <= 0) unit = 7;
  return std::min(unit, 25);
}

void CStatusPanes::SetFontUnit(int unit) {
  std::lock_guard lock(mutex_);
  fontUnit_ = unit > 0 ? std::min(unit, 25) : 7;
}

int CStatusPanes::SetStatusPanes(const char* const* texts, const int* widths, int count) {
  std::lock_guard lock(mutex_);
  if (!barExists_) return 0;
  ready_ = true;
  // A bar with no panes beyond the frame's own has no groups left to keep.
  if (panes_.size() < 5) {
    baseCount_ = 0;
    nextGroupId_ = kFirstGroupId;
    for (auto& pane : panes_) pane.owner = 0;
  }
  count = std::clamp(CountOf(texts, count), 0, kMaxBasePanes);
  std::vector<StatusPane> base;
  for (int i = 0; i < count; ++i)
    base.push_back(NewPane(texts, i, widths ? ToPixels(widths[i]) : kDefaultWidth, 1));
  panes_.erase(panes_.begin() + 1, panes_.begin() + 1 + baseCount_);
  panes_.insert(panes_.begin() + 1, base.begin(), base.end());
  baseCount_ = count;
  LaidOut();
  return count;
}

int CStatusPanes::SetStatusPaneText(int pane, const char* text, int style, PaneColor textColor,
                                    PaneColor backColor) {
  std::lock_guard lock(mutex_);
  const int index = PaneIndex(pane);
  if (index < 0) return 0;
  StatusPane& p = panes_[static_cast<std::size_t>(index)];
  p.text = text ? text : "";
  p.style = style;
  // Plain text drops the colours the pane had.
  const bool plain = textColor < 0 && backColor < 0;
  p.textColor = plain ? -1 : textColor;
  p.backColor = plain ? -1 : backColor;
  Changed(index);
  return 1;
}

int CStatusPanes::RemoveStatusPanes() {
  std::lock_guard lock(mutex_);
  if (!barExists_) return 0;
  const auto first = panes_.begin() + 1 + baseCount_;
  const auto end = panes_.end() - kIndicators;
  const auto kept = std::remove_if(first, end, [](const StatusPane& p) { return p.owner == 2; });
  if (kept != end) {
    panes_.erase(kept, end);
    LaidOut();
  }
  return static_cast<int>(panes_.size());
}

int CStatusPanes::AddStatusPanes(const char* const* texts, const int* widths, int count) {
  std::lock_guard lock(mutex_);
  if (!barExists_) return 0;
  const int room = kMaxPanes - static_cast<int>(panes_.size());
  count = std::min(CountOf(texts, count), room);
  if (count <= 0) return -1;
  const int id = nextGroupId_;
  nextGroupId_ = id == kLastGroupId ? kFirstGroupId : id + 1;
  std::vector<StatusPane> group;
  for (int i = 0; i < count; ++i)
    group.push_back(NewPane(texts, i, widths ? ToPixels(widths[i]) : kDefaultWidth, id));
  const int position = 1 + baseCount_;
  panes_.insert(panes_.begin() + position, group.begin(), group.end());
  LaidOut();
  const int number = position - static_cast<int>(panes_.size()) + kIndicators;
  return static_cast<int>((static_cast<unsigned>(number) << 16) | static_cast<unsigned>(id));
}

int CStatusPanes::SetStatusPaneColors(int pane, int style, PaneColor textColor, PaneColor backColor) {
  std::lock_guard lock(mutex_);
  const int index = PaneIndex(pane);
  if (index < 0) return 0;
  StatusPane& p = panes_[static_cast<std::size_t>(index)];
  const bool plain = textColor < 0 && backColor < 0;
  if (plain ? !p.Colored() : (p.textColor == textColor && p.backColor == backColor)) return 1;
  p.style = style;
  p.textColor = plain ? -1 : textColor;
  p.backColor = plain ? -1 : backColor;
  Changed(index);
  return 1;
}

LRESULT CStatusPanes::OnStatusPaneCall(WPARAM operation, const LPARAM* words) {
  {
    std::lock_guard lock(mutex_);
    if (!barExists_) return 0;
  }
  if (operation > 4) return 1;
  if (operation == 2) return RemoveStatusPanes();  // the one operation without words
  if (!words) return 0;
  const auto texts = reinterpret_cast<const char* const*>(words[0]);
  const auto widths = reinterpret_cast<const int*>(words[1]);
  const auto color = [](LPARAM w) { return static_cast<PaneColor>(w); };
  switch (operation) {
    case 0:
      return SetStatusPanes(texts, widths, static_cast<int>(words[2]));
    case 1:
      return SetStatusPaneText(static_cast<int>(words[0]), reinterpret_cast<const char*>(words[1]),
                               static_cast<int>(words[2]), color(words[3]), color(words[4]));
    case 3:
      return AddStatusPanes(texts, widths, static_cast<int>(words[2]));
    default:
      return SetStatusPaneColors(static_cast<int>(words[0]), static_cast<int>(words[1]), color(words[2]),
                                 color(words[3]));
  }
}

bool CStatusPanes::SetLockKeys(std::optional<LockKeyState> state) {
  std::lock_guard lock(mutex_);
  if (state == lockKeys_) return false;
  lockKeys_ = state;
  ShowLockKeys(true);
  return true;
}

// The indicators stay the last three panes whatever comes and goes in front of them, so their
// texts are written only here.
void CStatusPanes::ShowLockKeys(bool tell) {
  if (!barExists_ || panes_.size() < 1 + kIndicators) return;
  const LockKeyState state = lockKeys_.value_or(LockKeyState{});
  const bool on[kIndicators] = {state.caps, state.num, state.scroll};
  const char* const texts[kIndicators] = {kIndicatorCapsText, kIndicatorNumText, kIndicatorScrollText};
  const std::size_t first = panes_.size() - kIndicators;
  for (std::size_t i = 0; i < kIndicators; ++i) {
    const std::string text = on[i] ? texts[i] : "";
    if (panes_[first + i].text == text) continue;
    panes_[first + i].text = text;
    if (tell) Changed(static_cast<int>(first + i));
  }
}

std::vector<StatusPane> CStatusPanes::Panes() const {
  std::lock_guard lock(mutex_);
  return panes_;
}

int CStatusPanes::NextGroupId() const {
  std::lock_guard lock(mutex_);
  return nextGroupId_;
}

// Only the panes between the message pane and the indicators are the callers' to change.
int CStatusPanes::PaneIndex(int pane) const {
  if (!barExists_ || !ready_) return -1;
  const int count = static_cast<int>(panes_.size());
  const int index = pane >= 0 ? pane + 1 : count + pane - kIndicators;
  return index >= 1 && index < count - kIndicators ? index : -1;
}

void CStatusPanes::LaidOut() {
  if (observer_) observer_->PanesLaidOut(panes_);
}

void CStatusPanes::Changed(int index) {
  if (observer_) observer_->PaneChanged(index, panes_[static_cast<std::size_t>(index)]);
}
