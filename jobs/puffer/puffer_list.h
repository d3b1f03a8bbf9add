// The buffer list engine: keeps one data folder equal on several computers through a carrier.
//
// On the carrier lie the list file ("Docs.ssy") and the buffer folder beside it ("SsyTemp_Docs").
// The list records for every file the source's state (number 0) and the state of each destination
// (numbers 1 to 9, one per host slot); the buffer holds copies that some destination still lacks.
//
// The list file is UTF-8 text with LF line ends:
//   PLUS  "<include patterns>"
//   MINUS "<exclude patterns>"
//   HOST<d> "<host name>"                       one per non-empty slot d
//   SIZE  <buffer room, decimal>
//   <d>\t0x<size> 0x<time> 0x<checksum>\t"<relative path>"    one per record
//   END <number of record lines>
// Sizes and times are written with eight upper-case hexadecimal digits, more when they need
// them; paths are written with "\" and read with either separator. Readers that do not know
// "END" ignore it. Only a list whose last line is a matching END, and whose records all read
// cleanly, counts as whole: a destination deletes nothing on the strength of any other list.
#pragma once

#include "lib/system/sys_types.h"
#include "lib/text/textlist.h"
#include "platform/win_types.h"

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Progress callback: (context, code, text) returns non-zero to stop the engine.
using PufferProgressFn = int (*)(void* context, int code, const char* text);

enum : int {
  PUFFER_POLL = 0,      // the name being handled or the list path; only the answer matters
  PUFFER_CHECKSUM = 1,  // full path of a file before its checksum is computed
  PUFFER_COPY = 2,      // full path of a copy's destination, before copying into or out of the buffer
  PUFFER_DELETE = 3,    // full path of a file or folder before it is deleted
  PUFFER_PHASE = 4,     // a phase text
};

// Results of Save and Exchange besides a count of files.
enum : int {
  PUFFER_FAILED = -1,          // list unreadable or unwritable, no free slot, lock held, bad paths
  PUFFER_NOT_REGISTERED = -2,  // the given host has no destination slot
  PUFFER_STOPPED = -3,         // stopped by the callback; the list file is unchanged
};

// Buffer room when the list names none (or names 0).
inline constexpr u64 kPufferDefaultRoom = 104857600;
inline constexpr int kPufferSlots = 10;

// One record: the user area of a list item whose text is the relative path ("\" separators).
struct PufferRecord {
  u32 number = 0;    // 0 the source, 1 to 9 the destination in that slot
  u32 checksum = 0;  // PufferList::Checksum of the contents, never 0
  SysUtc time = 0;   // write time, else creation time, else access time
  u64 size = 0;
};

// A list file in memory.
struct PufferListFile {
  std::string plus;
  std::string minus;
  std::array<std::string, kPufferSlots> hosts;
  u64 room = kPufferDefaultRoom;
  CTextList records{static_cast<int>(sizeof(PufferRecord))};

  // What the reader found.
  bool hasEnd = false;       // an END line stood last, followed by its line end
  u64 endCount = 0;
  u64 recordLines = 0;       // lines whose first token is a single digit
  bool headerDamaged = false;  // a SIZE or END line that did not read cleanly
  std::vector<std::string> rejected;  // German lines, one per record that was not taken

  // END present, last, matching, and nothing rejected.
  bool Whole() const { return hasEnd && endCount == recordLines && rejected.empty() && !headerDamaged; }
};

PufferRecord PufferGetRecord(const CTextList& list, int i);
void PufferSetRecord(CTextList& list, int i, const PufferRecord& record);
int PufferAddRecord(CTextList& list, std::string_view path, const PufferRecord& record);

// Reads list text into out (which should be fresh). Text that is not valid UTF-8 is read as
// Windows-1252. With a callback, code 0 goes out with each line's first token; a non-zero answer
// ends the reading and the result is PUFFER_STOPPED, else 0.
int PufferParseList(std::string_view text, PufferListFile& out, PufferProgressFn callback = nullptr,
                    void* context = nullptr);
// The list's bytes: header, records in list order, and with withEnd the END line; in
// Windows-1252 when that is safe, else UTF-8 (EncToWindowsText).
std::string PufferFormatList(const PufferListFile& list, bool withEnd);

// A whole unsigned 64-bit number: decimal, or after the prefixes "0x", "0d", "0o", "0b"; false for
// an empty text, a stray character or an overflow. The list's numbers and the room are read so.
bool PufferParseNumber(std::string_view text, u64& value);

// Whether a relative path ("/" or "\" separators) can stand in the list: valid UTF-8, no control
// character, no double quote, no backslash inside a name. Separators must be "/" here.
bool PufferNameHoldable(std::string_view relativePath);
// A path as read from the list: turned into the list form ("\" separators) when it is relative,
// has no empty, "." or ".." component, no drive letter and nothing the list cannot hold; else
// false with *reason set to a German reason.
bool PufferPathFromList(std::string_view path, std::string& listForm, const char** reason);

// What one call of Save or Exchange met besides its result. Failures make the worker's row fail
// with the lines as its message, after the engine has done all it could.
struct PufferReport {
  int copied = 0;    // files copied into or out of the buffer
  int deleted = 0;   // files deleted in the data folder
  int failures = 0;  // reads, copies and deletions that failed, names skipped, bad records
  bool deletionsWithheld = false;  // deletions were due but the list or the listing was not whole
  bool tookOver = false;           // the list belonged to another source and was created anew
  std::string formerSource;
  int slot = -1;                   // this computer's slot in the list
  std::vector<std::string> lines;  // German lines, at most kMaxLines; the rest is counted
  int linesDropped = 0;

  static constexpr int kMaxLines = 50;
  bool Failed() const { return failures > 0; }
  // The lines joined by line breaks, at most maxLines of them and a count of the rest.
  std::string Text(int maxLines = 10) const;
};

class PufferLock;

class PufferList {
 public:
  // hostName: this computer's name (the short form up to its first "." goes into the list).
  // clock: seconds since 1970 for the lock file (the run's clock); empty: the system's.
  explicit PufferList(std::string hostName, std::function<i64()> clock = {});

  void SetProgress(void* context, PufferProgressFn callback);
  // Checksum of a file: each little-endian 32-bit word added and the sum rotated left by 5, the
  // one to three bytes left added without rotation; 1 for an empty file, 0 when it cannot be read.
  u32 Checksum(const char* path);
  // Creates the source's list of the data folder (this computer in slot 0) and empties the buffer
  // folder. The number of files listed; -1 when the folder cannot be read whole, a file cannot be
  // read (no list is written then) or the list cannot be written. A room of 0 means the default.
  int Save(const char* listPath, const char* dataFolder, const char* plus, const char* minus, u64 room);
  // One exchange. hostName null: register as a destination if need be. With hostName and
  // mustBeRegistered: PUFFER_NOT_REGISTERED unless the name has a destination slot. With hostName
  // and not mustBeRegistered: a list of another source is created anew for this one (reported).
  // Returns the number of files copied, or PUFFER_FAILED / PUFFER_NOT_REGISTERED / PUFFER_STOPPED.
  int Exchange(const char* listPath, const char* dataFolder, const char* hostName, int mustBeRegistered);
  // Sort order of a record list: paths byte by byte, then numbers.
  static int CompareEntries(const CTextList& list, int i, int j);

  // The report of the last Save or Exchange.
  const PufferReport& Report() const { return m_report; }

  // This computer's name as the slots hold it: the host name up to its first ".".
  const std::string& HostName() const { return m_hostName; }
  static std::string ShortHostName(std::string_view hostName);
  // Whether two host names name one computer: equal, or one the short form of the other,
  // letter case ignored.
  static bool HostEqual(std::string_view a, std::string_view b);
  // The buffer folder of a list path: its folder, "SsyTemp_" and the list's name without extension.
  static std::string BufferFolder(const char* listPath);

 private:
  struct Exchanger;  // one exchange's state, defined with the steps
  int Call(int code, const char* text);
  static int Poll(void* self, int code, const char* text);
  bool Stopped() const { return m_lastAnswer != 0; }
  void Fail(std::string line);
  void Note(std::string line);

  bool Prepare(Exchanger& ex, const char* listPath, const char* dataFolder);
  // The start of Save and Exchange: a fresh report, the exchange prepared and the list's lock
  // taken; false (told) when the call cannot go on.
  bool Begin(Exchanger& ex, PufferLock& lock, const char* listPath, const char* dataFolder);
  int SaveLocked(Exchanger& ex, const char* plus, const char* minus, u64 room);
  int ExchangeLocked(Exchanger& ex, const char* hostName, int mustBeRegistered, int depth);
  int RunSource(Exchanger& ex);
  int RunDestination(Exchanger& ex);

  std::string m_hostName;
  std::function<i64()> m_clock;
  PufferProgressFn m_callback = nullptr;
  void* m_context = nullptr;
  int m_lastAnswer = 0;
  PufferReport m_report;
};
