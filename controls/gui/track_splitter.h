// CTrackSplitter and WndTrackSplitter: the bar between an upper and a lower pane, dragged by the mouse.
#pragma once

#include <QSplitter>

#include <functional>

// A vertical splitter whose bar is 7 pixels thick. The upper pane may be dragged down to height 0;
// the lower pane keeps at least one pixel. Only one lower pane shows at a time; the hidden ones
// keep no room.
class CTrackSplitter : public QSplitter {
 public:
  static constexpr int kBarThickness = 7;

  explicit CTrackSplitter(QWidget* parent = nullptr);

  // The upper pane's height, and setting it (kept within the splitter's height).
  int Split() const;
  void SetSplit(int split);
  // Told the new split whenever the user moved the bar.
  void OnSplitMoved(std::function<void(int split)> fn) { m_moved = std::move(fn); }
  // Puts the bar's top at pos as a drag of the bar does (the panes' minimum sizes and the upper
  // pane's collapse to 0 applied), telling OnSplitMoved.
  void MoveBarTo(int pos);

 private:
  std::function<void(int)> m_moved;
};

// Moves the bar as a drag of distance pixels would (above the top the upper pane collapses to 0,
// at the bottom the lower pane keeps its minimum) and returns the distance it moved, 0 when none.
int WndTrackSplitter(CTrackSplitter& splitter, int distance);
