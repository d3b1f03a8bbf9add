// A shared archive for runner tests that opens nothing and counts its closes and discards.
#pragma once

#include "archive/zip_file.h"

#include <atomic>
#include <string>

namespace kpwtest {

class CountingZip : public CZipFile {
 public:
  void OpenFake() { m_openMode = ARC_OPEN_UPDATE; }
  int Close() override {
    ++closes;
    m_openMode = 0;
    return closeResult;
  }
  void Discard() override {
    ++discards;
    m_openMode = 0;
  }
  std::string GetErrorText() const override { return "Das Archiv konnte nicht geschrieben werden"; }
  std::atomic<int> closes{0}, discards{0};
  int closeResult = 0;
};

}  // namespace kpwtest
