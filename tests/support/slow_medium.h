// A medium that passes everything to another one and waits a while before each write.
#pragma once

#include "FileSystem/Media/raw_disk.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace kpwtest {

class SlowMedium final : public RawMedium {
 public:
  // delay: microseconds before each write, changeable while the medium is in use.
  SlowMedium(std::unique_ptr<RawMedium> inner, std::shared_ptr<std::atomic<int>> delay)
      : m_inner(std::move(inner)), m_delay(std::move(delay)) {}

  bool ReadAt(u64 offset, void* data, std::size_t length) override { return m_inner->ReadAt(offset, data, length); }
  bool WriteAt(u64 offset, const void* data, std::size_t length) override {
    if (const int us = m_delay->load()) std::this_thread::sleep_for(std::chrono::microseconds(us));
    return m_inner->WriteAt(offset, data, length);
  }
  bool Flush() override { return m_inner->Flush(); }
  bool Close() override { return m_inner->Close(); }
  u64 ByteSize() const override { return m_inner->ByteSize(); }
  u32 SectorSize() const override { return m_inner->SectorSize(); }
  bool IsDisk() const override { return m_inner->IsDisk(); }
  bool ReadOnly() const override { return m_inner->ReadOnly(); }

 private:
  std::unique_ptr<RawMedium> m_inner;
  std::shared_ptr<std::atomic<int>> m_delay;
};

}  // namespace kpwtest
