// A thread that swaps a folder and a link to a folder elsewhere, again and again, while a row runs.
#pragma once

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace kpwtest {

// Swaps folder and link (atomically: the name never goes missing) until it goes; the folder is
// back under its name then. pause: a breath between swaps, for rows whose folder locks one swap
// after another would starve.
class LinkSwapper {
 public:
  LinkSwapper(std::string folder, std::string link, std::chrono::microseconds pause = {})
      : m_folder(std::move(folder)), m_link(std::move(link)) {
    m_thread = std::thread([this, pause] {
      while (!m_stop.load(std::memory_order_relaxed)) {
        if (::renameat2(AT_FDCWD, m_folder.c_str(), AT_FDCWD, m_link.c_str(), RENAME_EXCHANGE) == 0) ++m_swaps;
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
      }
    });
  }
  ~LinkSwapper() {
    m_stop = true;
    m_thread.join();
    if (m_swaps % 2) ::renameat2(AT_FDCWD, m_folder.c_str(), AT_FDCWD, m_link.c_str(), RENAME_EXCHANGE);
  }
  LinkSwapper(const LinkSwapper&) = delete;
  LinkSwapper& operator=(const LinkSwapper&) = delete;
  long Swaps() const { return m_swaps.load(); }

 private:
  std::string m_folder, m_link;
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_swaps{0};
  std::thread m_thread;
};

}  // namespace kpwtest
