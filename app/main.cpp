// Program entry: checks the command line; this build cannot run job rows yet.
#include "lib/text/fmt.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  std::string jobFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool isSwitch = arg.size() == 2 && (arg[0] == '-' || arg[0] == '/');
    if (!isSwitch && jobFile.empty()) jobFile = arg;
  }
  if (!jobFile.empty()) {
    struct stat st{};
    if (::stat(jobFile.c_str(), &st) != 0) {
      FmtFprintfA(stderr, "Kopiwart: Die Auftragsdatei \"%s\" kann nicht geöffnet werden.\n", jobFile.c_str());
      return 1;
    }
  }
  FmtFprintfA(stderr, "Kopiwart: Diese Version kann noch keine Aufträge ausführen.\n");
  return 3;
}
