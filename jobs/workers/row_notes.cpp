// Notes a worker leaves for the row, told by the runner once the row is done.
#include "jobs/workers/row_notes.h"

#include "jobs/progress/run_state.h"
#include "lib/text/fmt.h"

std::string NoteWithNames(const std::string& head, const std::vector<std::string>& names) {
  constexpr std::size_t kShown = 10;
  std::string text = head;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) text += "\n" + names[i];
  if (names.size() > kShown) text += FmtString("\n… und %d weitere", static_cast<int>(names.size() - kShown));
  return text;
}

void NoteFolderLinks(CRunState& run, const std::vector<std::string>& links) {
  if (links.empty()) return;
  run.Note(NoteWithNames("In diese Verknüpfungen auf Ordner wurde nichts geschrieben und darin nichts gelöscht:", links));
}

void NoteKeptFolders(CRunState& run, const std::vector<std::string>& folders) {
  if (folders.empty()) return;
  run.Note(NoteWithNames("Diese Ordner fehlen in der Quelle, blieben im Ziel aber stehen, weil sie noch Dateien "
                         "enthalten oder geschützt sind:",
                         folders));
}
