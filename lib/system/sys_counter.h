// Byte counter and cancel flag that a copying thread shares with the thread showing progress.
#pragma once

#include <atomic>
#include <cstdint>

// Advanced by the copy engine as data is written; read by a progress timer on another thread.
using SysByteCounter = std::atomic<std::uint64_t>;
// Non-zero asks a running copy to stop; set by another thread.
using SysCancelFlag = std::atomic<int>;
