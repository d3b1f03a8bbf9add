// Zip benchmark driver: packs a tree into a new archive, or unpacks one, through CZipFile.
// Usage: kpw_zip_bench pack ARCHIVE SOURCE [threads, 0 = all the process may use]
//        kpw_zip_bench unpack ARCHIVE FOLDER
#include "archive/zip_file.h"
#include "lib/text/fmt.h"

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 4) {
    FmtFprintfA(stderr, "usage: %s pack ARCHIVE SOURCE [threads] | unpack ARCHIVE FOLDER\n", argv[0]);
    return 2;
  }
  CZipFile zip;
  if (std::strcmp(argv[1], "pack") == 0) {
    zip.SetThreadCount(argc > 4 ? std::atoi(argv[4]) : 0);
    if (zip.Open(argv[2], ARC_OPEN_CREATE, 9) != 0) {
      FmtFprintfA(stderr, "%s\n", zip.GetErrorText().c_str());
      return 1;
    }
    zip.SetFlags(ARC_FLAG_RECURSE);
    const int files = zip.AddTree(argv[3], nullptr, nullptr, nullptr);
    if (zip.GetLastError() != 0 || zip.Close() != 0) {
      FmtFprintfA(stderr, "%s\n", zip.GetErrorText().c_str());
      return 1;
    }
    FmtFprintfA(stdout, "%d files\n", files);
    return 0;
  }
  if (std::strcmp(argv[1], "unpack") == 0) {
    if (zip.Open(argv[2], ARC_OPEN_READ, 9) != 0 || zip.ExtractAll(argv[3], nullptr) != 0) {
      FmtFprintfA(stderr, "%s\n", zip.GetErrorText().c_str());
      return 1;
    }
    return 0;
  }
  FmtFprintfA(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
