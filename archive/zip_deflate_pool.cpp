// Packing pieces of source files on several threads; each piece's result depends only on its input.
#include "archive/zip_deflate_pool.h"

#include "archive/crc32.h"
#include "lib/system/sys_fdio.h"

#include <sched.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr u32 kWindow = 32 * 1024;
constexpr u32 kInlineUpTo = 4 * 1024;

// Reads exactly length bytes at offset; else *error is the errno, or -1 when the file ended first.
bool ReadAt(int fd, u8* data, std::size_t length, u64 offset, int* error) {
  if (SysPreadAll(fd, data, length, offset)) return true;
  *error = errno ? errno : -1;
  return false;
}

}  // namespace

struct ZipDeflatePool::Worker {
  z_stream zs{};
  int level = -1;
  std::vector<u8> in;

  ~Worker() {
    if (level >= 0) deflateEnd(&zs);
  }

  bool Ready(int wanted) {
    if (level == wanted) return deflateReset(&zs) == Z_OK;
    if (level >= 0) deflateEnd(&zs);
    zs = z_stream{};
    level = -1;
    if (deflateInit2(&zs, wanted, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    level = wanted;
    return true;
  }

  void Run(ZipPieceTask& t) {
    const int fd = t.file->Get();
    if (t.level == 0) {
      t.out.resize(t.length);
      if (ReadAt(fd, t.out.data(), t.length, t.offset, &t.error)) {
        t.crc = Crc32Update(0, t.out.data(), t.length);
        t.stored = true;
      }
      return;
    }
    const u32 dict = t.first ? 0 : static_cast<u32>(std::min<u64>(kWindow, t.offset));
    in.resize(std::size_t{dict} + t.length);
    if (!ReadAt(fd, in.data(), in.size(), t.offset - dict, &t.error)) return;
    const u8* data = in.data() + dict;
    t.crc = Crc32Update(0, data, t.length);
    if (!Ready(t.level)) {
      t.error = ENOMEM;
      return;
    }
    if (dict) deflateSetDictionary(&zs, in.data(), dict);
    t.out.resize(deflateBound(&zs, t.length) + 64);
    zs.next_in = const_cast<u8*>(data);
    zs.avail_in = t.length;
    zs.next_out = t.out.data();
    zs.avail_out = static_cast<uInt>(t.out.size());
    const int flush = t.last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      const int rc = deflate(&zs, flush);
      const bool finished = t.last ? rc == Z_STREAM_END : (zs.avail_in == 0 && zs.avail_out != 0);
      if (finished) break;
      if (rc != Z_OK && rc != Z_BUF_ERROR) {
        t.error = ENOMEM;
        return;
      }
      const std::size_t used = t.out.size() - zs.avail_out;
      t.out.resize(t.out.size() * 2);
      zs.next_out = t.out.data() + used;
      zs.avail_out = static_cast<uInt>(t.out.size() - used);
    }
    t.out.resize(t.out.size() - zs.avail_out);
    const bool whole = t.first && t.last;
    const bool keepsNothing = whole ? t.out.size() >= t.length
                                    : (t.probe && t.out.size() >= t.length - t.length / 128);
    if (keepsNothing) {
      t.out.assign(data, data + t.length);
      t.stored = true;
    }
  }
};

ZipDeflatePool::ZipDeflatePool(int threads) {
  m_inline = std::make_unique<Worker>();
  if (threads < 2) return;
  for (int i = 0; i < threads; ++i) m_threads.emplace_back([this] { Loop(); });
}

ZipDeflatePool::~ZipDeflatePool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_work.notify_all();
  for (std::thread& t : m_threads) t.join();
}

int ZipDeflatePool::AvailableThreads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

void ZipDeflatePool::Submit(ZipPieceTask* task) {
  if (m_threads.empty() || task->length <= kInlineUpTo) {
    m_inline->Run(*task);
    task->done.store(true, std::memory_order_release);
    return;
  }
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(task);
    wake = m_idle > 0;
  }
  if (wake) m_work.notify_one();
}

void ZipDeflatePool::Wait(ZipPieceTask* task) {
  if (task->done.load(std::memory_order_acquire)) return;
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!task->done.load(std::memory_order_acquire)) {
    m_waiting = true;
    m_done.wait(lock);
  }
  m_waiting = false;
}

void ZipDeflatePool::Loop() {
  Worker worker;
  for (;;) {
    ZipPieceTask* task = nullptr;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      while (!m_stop && m_queue.empty()) {
        ++m_idle;
        m_work.wait(lock);
        --m_idle;
      }
      if (m_queue.empty()) return;
      task = m_queue.front();
      m_queue.pop_front();
    }
    worker.Run(*task);
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      task->done.store(true, std::memory_order_release);
      wake = m_waiting;
    }
    if (wake) m_done.notify_all();
  }
}
