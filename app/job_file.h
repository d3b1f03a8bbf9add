// The .kpw job-file format: a pure reader and writer over byte strings.
#pragma once

#include "jobs/job_model.h"

#include <string>
#include <string_view>
#include <vector>

// One row as the reader found it: the arguments of CKopiwartView::AddEntry.
struct JobFileRow {
  std::string source, target, plus, minus, extra;
  bool subdirs = false;
  int mode = JOB_MODE_COPY;
  bool operator==(const JobFileRow&) const = default;
};

// What a job file holds.
struct JobFileContent {
  std::vector<JobFileRow> rows;
  JobSchedule schedule;  // (0, 1, 0) unless the file names other values
};

// Reads a job file. The bytes may be UTF-8 or Windows-1252 (anything that is not valid UTF-8);
// values come out as UTF-8. Line ends are CR LF, LF or a lone CR. No line is ever an error: what
// the grammar does not know is ignored, and rows without a source, or without a target outside the
// modes "Reg" and "Del", are dropped. An over-long line stays one line and its value is kept
// whole (a row with a source or target longer than kJobCellMaxChars is refused when it runs).
JobFileContent JobFileParse(std::string_view bytes);

// Whether bytes can be opened as a job file: they hold no NUL byte, and are empty or hold an
// "[EINTRAG]" line or a switch line the format defines ("/ZEITPLAN=", "/LETZTE=", "/UNTER", a
// mode's word), as every job file written does. Anything else (a picture, an archive, a note
// naming "Q:/daten") would open as an empty list that a save then replaces.
bool JobFileAccepted(std::string_view bytes);

// The name a job file is saved under: ".kpw" is added when the file's name has no extension
// (no "."), as the save dialog adds it, so that "Öffnen" lists the file.
std::string JobFileNameWithExtension(std::string_view path);

// Writes a job file with CR LF line ends, in Windows-1252 when that is safe, else in UTF-8
// (EncToWindowsText). Each entry's mode cell is looked up in the mode table (letter case ignored)
// and its subdirectories cell tested for "Nein"; cells are written whole, line breaks inside them
// as blanks.
std::string JobFileFormat(const std::vector<JobEntry>& entries, const JobSchedule& schedule);

// A hash of the rows as the reader found them (cells, subdirectories, mode): two files hold the
// same rows when their hashes agree, whatever else differs (schedule, last-run time, lines the
// reader passes over, line ends).
u64 JobFileRowsHash(const std::vector<JobFileRow>& rows);

// The entry that AddEntry would build from a row, without its path adjustments.
JobEntry JobFileRowToEntry(const JobFileRow& row);
