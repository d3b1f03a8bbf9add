// The extra cell of "Puffer": the source computer and the buffer's room, "Host:Größe".
#pragma once

#include "platform/win_types.h"

#include <string>
#include <string_view>

// The source host before the first ":", the room after it; blanks around either part are
// dropped. No room, or 0, means the engine's default. A room that is no number (PufferParseNumber)
// leaves roomValid false, so that it is refused rather than a stray prefix taken as a byte count.
struct PufferCell {
  std::string host;
  std::string roomText;
  u64 room = 0;
  bool roomValid = true;
};
PufferCell PufferSplitExtra(std::string_view cell);
// The cell that PufferSplitExtra reads back as host and room: host, ":", room.
std::string PufferFormatExtra(std::string_view host, std::string_view room);
