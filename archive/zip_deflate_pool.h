// Packing pieces of source files on several threads; each piece's result depends only on its input.
#pragma once

#include "lib/system/sys_fd.h"
#include "platform/win_types.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// An open source file shared by the pieces that read it.
using ZipSourceFile = SysFd;

// Files are cut into pieces of this size. A piece after the first is deflated with the 32 KiB
// before it as the dictionary and ends on a byte boundary (a sync flush), so the pieces joined
// make one deflate stream, the same whatever thread packed each piece.
inline constexpr u32 kZipPiece = 1u << 20;

struct ZipPieceTask {
  std::shared_ptr<ZipSourceFile> file;
  u64 offset = 0;
  u32 length = 0;
  bool first = false;
  bool last = false;
  bool probe = false;  // first piece of a larger file: store the whole file when it does not shrink
  int level = 0;       // 0 stores

  std::vector<u8> out;
  u32 crc = 0;
  bool stored = false;  // out holds the bytes as they are
  int error = 0;        // errno of a failed read; -1 when the file got shorter
  std::atomic<bool> done{false};
};

// Runs tasks on worker threads, or on the caller's thread when built with fewer than two.
class ZipDeflatePool {
 public:
  explicit ZipDeflatePool(int threads);
  ~ZipDeflatePool();
  ZipDeflatePool(const ZipDeflatePool&) = delete;
  ZipDeflatePool& operator=(const ZipDeflatePool&) = delete;

  // Runs a task; small ones on the caller's thread, where handing them over costs more than packing.
  void Submit(ZipPieceTask* task);
  void Wait(ZipPieceTask* task);
  bool Inline() const { return m_threads.empty(); }

  // Threads available to this process (its CPU affinity), at least 1.
  static int AvailableThreads();

  struct Worker;

 private:
  void Loop();

  std::vector<std::thread> m_threads;
  std::mutex m_mutex;
  std::condition_variable m_work;
  std::condition_variable m_done;
  std::deque<ZipPieceTask*> m_queue;
  bool m_stop = false;
  int m_idle = 0;         // workers waiting for a task
  bool m_waiting = false;  // the caller waits for a task to be done
  std::unique_ptr<Worker> m_inline;
};
