// Character widths of a font, per code point, for shortening paths without asking the font again.
#pragma once

#include "lib/text/compact_path.h"

class QFont;

// Fills the table with the advance of code points 0-255 in the font (255 at most each); every
// other code point gets the widest of them or of a wide ideograph. Main thread only: fonts are
// not to be touched from a worker.
void GdiCharWidthsFont(GdiWidthTable& table, const QFont& font);

// The same for the application's general font; the second argument is kept for callers that
// pass -1 (the stock variable-pitch font).
void GdiCharWidthsStock(GdiWidthTable& table, int stock = -1);
