// The volume images of other projects' test suites that the tests read (tests/corpus, see its README).
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace kpwtest {

// The corpus folder of a kind ("ext4", "fat", "exfat") in the source tree: it lies in the
// project, so a clone in any folder finds it.
inline std::string CorpusFolder(const std::string& kind) {
  return std::string(KPW_SOURCE_DIR) + "/tests/corpus/" + kind;
}

// The sorted names in a corpus folder that keep (a folder holding that file, when given);
// none when the folder is missing, which the suites' presence cases report as a failure.
template <typename Keep>
std::vector<std::string> CorpusNames(const std::string& kind, Keep keep) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(CorpusFolder(kind), ec))
    if (keep(e.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kpwtest
