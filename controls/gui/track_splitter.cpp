// CTrackSplitter: the bar between the job list and the pane below it.
#include "controls/gui/track_splitter.h"

#include "controls/splitter_track.h"

#include <algorithm>

CTrackSplitter::CTrackSplitter(QWidget* parent) : QSplitter(Qt::Vertical, parent) {
  setHandleWidth(kBarThickness);
  setChildrenCollapsible(true);
  setOpaqueResize(true);
  connect(this, &QSplitter::splitterMoved, this, [this](int, int) {
    if (m_moved) m_moved(Split());
  });
}

int CTrackSplitter::Split() const {
  const QList<int> s = sizes();
  return s.isEmpty() ? 0 : s.first();
}

void CTrackSplitter::SetSplit(int split) {
  if (count() < 2) return;
  // The room of the panes is the height less one bar; the first shown lower pane takes the rest.
  const int room = std::max(0, height() - kBarThickness);
  split = SplitterTrack(split, 0, std::max(room, 1));
  QList<int> s;
  bool restGiven = false;
  for (int i = 0; i < count(); ++i) {
    if (i == 0) {
      s << split;
    } else if (!restGiven && !widget(i)->isHidden()) {
      s << room - split;
      restGiven = true;
    } else {
      s << 0;
    }
  }
  setSizes(s);
}

void CTrackSplitter::MoveBarTo(int pos) {
  // The bar in use is the one in front of the first shown lower pane; moveSplitter is what a
  // drag of it calls.
  int handle = 1;
  while (handle < count() && widget(handle)->isHidden()) ++handle;
  if (handle < count()) moveSplitter(pos, handle);
}

int WndTrackSplitter(CTrackSplitter& splitter, int distance) {
  if (splitter.count() < 2 || distance == 0) return 0;
  const int before = splitter.Split();
  // Where the mouse would take the bar; the splitter keeps it in the window as for a drag.
  const long long to = static_cast<long long>(before) + distance;
  splitter.MoveBarTo(static_cast<int>(std::clamp(to, -1000000LL, 1000000LL)));
  return splitter.Split() - before;
}
