// Deflate64 decoding: deflate with a 64 KiB window, lengths up to 65538 and two more distance codes.
#pragma once

#include "platform/win_types.h"

#include <cstddef>
#include <functional>
#include <string>

enum class Inflate64Result {
  Done,         // the last block ended
  Damaged,      // the stream breaks the format (detail says how)
  Truncated,    // the input ended before the last block did
  InputFailed,  // the input function failed
  OutputStopped // the output function returned false
};

// Pulls up to length bytes into data: the count, 0 at the end of the input, -1 on failure.
using Inflate64Input = std::function<std::ptrdiff_t(u8* data, std::size_t length)>;
// Takes decoded bytes; false stops the decoding.
using Inflate64Output = std::function<bool(const u8* data, std::size_t length)>;

// Decodes one Deflate64 stream; bytes after its last block are left unread or ignored.
Inflate64Result Inflate64(const Inflate64Input& input, const Inflate64Output& output, std::string& detail);
