// Job vocabulary: mode lookups in the table, cell rules and schedule arithmetic.
#include "jobs/job_model.h"

#include "lib/text/enc.h"
#include "lib/text/str.h"

const char* const kJobColumnTitles[JOB_COLUMNS] = {
    "Quelle", "Ziel", "Plus Filter", "Minus Filter", "Unter", "Modus", "Zusatz",
};

std::string JobCellSanitize(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

bool JobCellFits(std::string_view text) {
  // Every character takes at least one byte: a short text needs no count.
  if (text.size() <= static_cast<std::size_t>(kJobCellMaxChars)) return true;
  return EncUtf8Prefix(text, kJobCellMaxChars) == text.size();
}

bool JobSubdirsFromCell(std::string_view cell) { return !StrEqualsNoCase(cell, "Nein"); }

const char* JobSubdirsCell(bool subdirs) { return subdirs ? "Ja" : "Nein"; }

int JobModeFindName(std::string_view name) {
  for (int i = 0; i < JOB_MODE_COUNT; ++i) {
    if (StrEqualsNoCase(name, kJobModes[i].name)) return i;
  }
  return -1;
}

int JobModeFromName(std::string_view name) {
  const int mode = JobModeFindName(name);
  return mode < 0 ? JOB_MODE_COPY : mode;
}

int JobModeFromSwitch(std::string_view word) {
  for (int i = 0; i < JOB_MODE_COUNT; ++i) {
    if (kJobModes[i].switchWord && StrEqualsNoCase(word, kJobModes[i].switchWord)) return i;
  }
  return -1;
}

const char* JobModeName(int mode) { return JobModeInfoOf(mode).name; }

const char* JobModeSwitch(int mode) { return JobModeInfoOf(mode).switchWord; }

i64 ScheduleUnitSeconds(u32 word) {
  switch (word & SCHED_UNIT_MASK) {
    case SCHED_DAYS: return 86400;
    case SCHED_WEEKS: return 604800;
    case SCHED_MONTHS: return 2592000;
    default: return 0;  // "always" and unknown units
  }
}

i64 ScheduleIntervalSeconds(u32 word, i32 count) {
  return static_cast<i64>(count) * ScheduleUnitSeconds(word);
}

i64 ScheduleNextTime(const JobSchedule& schedule) {
  return static_cast<i64>(schedule.lastRun) + ScheduleIntervalSeconds(schedule.word, schedule.interval);
}
