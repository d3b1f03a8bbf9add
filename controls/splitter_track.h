// The splitter bar's arithmetic: where a drag of the bar leaves the upper pane's height.
#pragma once

// The split position after the bar was dragged by distance pixels in a window of height pixels:
// never below 0 (dragged above the top), never below the window (at most height - 1).
int SplitterTrack(int split, int distance, int height);
