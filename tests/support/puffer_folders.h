// The folders of a buffer exchange test: a source, two destinations and a carrier with the list
// and its buffer, all below one temporary folder.
#pragma once

#include "tests/support/temp_dir.h"

#include <filesystem>
#include <string>

namespace kpwtest {

struct PufferFolders {
  // base: the folder to make the temporary folder in (null: the usual one).
  explicit PufferFolders(const char* base = nullptr) : scratch("puffer", base) {
    for (const std::string& d : {src, d1, d2, carrier}) std::filesystem::create_directories(d);
  }

  TempDir scratch;
  std::string root = scratch.path();
  std::string src = root + "/src", d1 = root + "/d1", d2 = root + "/d2", carrier = root + "/carrier";
  std::string list = carrier + "/Docs.ssy", buffer = carrier + "/SsyTemp_Docs";
};

}  // namespace kpwtest
