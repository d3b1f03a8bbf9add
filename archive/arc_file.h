// The archive base class: events, error codes and the operations the job engine calls.
#pragma once

#include "platform/win_types.h"

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

class CArcFile;

// Events that an archive reports through its callback.
enum ArcEvent : int {
  ARC_EVENT_COMPRESS = 7,     // a file is being packed; the text is a marker and the entry name
  ARC_EVENT_READ = 8,         // an entry is being unpacked; the text is a marker and the entry name
  ARC_EVENT_ERROR = 10,       // an error; the text is given and the answer is returned to the archive
  ARC_EVENT_FILE_DONE = 11,   // a file was stored or extracted
  ARC_EVENT_FILE_ADDED = 14,  // a file was added
  ARC_EVENT_ENTRY = 15,       // an entry is about to be processed; 1 skips it
};

// Answers to ARC_EVENT_ERROR: 2 stops the operation (ARC_ERR_USER_ABORT), anything else goes on
// with the next entry. Any other event stops the operation with a non-zero answer (except 15,
// where 1 skips the entry).
enum : int { ARC_ANSWER_ABORT = 2 };

// Error codes of the archive classes (0 = none).
enum ArcError : int {
  ARC_OK = 0,
  ARC_ERR_OPEN = 1,            // the archive file cannot be opened or created
  ARC_ERR_FORMAT = 2,          // not a zip archive, or its directory is damaged
  ARC_ERR_READ = 3,            // reading the archive failed
  ARC_ERR_WRITE = 4,           // writing the archive failed
  ARC_ERR_METHOD = 5,          // an entry packed with a method that is not built in
  ARC_ERR_ENCRYPTED = 6,       // an encrypted entry
  ARC_ERR_DATA = 7,            // an entry's data is damaged (check sum, size, stream)
  ARC_ERR_UNSAFE_NAME = 8,     // an entry name that leads outside the target folder
  ARC_ERR_LINK = 9,            // a symbolic link entry, never created
  ARC_ERR_CREATE = 11,         // a file or folder cannot be written while unpacking
  ARC_ERR_SOURCE = 12,         // a source file cannot be read while packing
  ARC_ERR_NOT_OPEN = 13,       // the archive is not open for this operation
  ARC_ERR_MULTIDISK = 14,      // an archive split into parts
  ARC_ERR_COMMIT = 15,         // the finished archive cannot replace the old one
  ARC_ERR_NO_SOURCE = 16,      // the source to pack does not exist
  ARC_ERR_LISTING = 17,        // a source folder could not be read completely
  ARC_ERR_CHANGED = 18,        // a source file changed while it was packed
  ARC_ERR_TOO_LARGE = 19,      // a size beyond what the format can hold
  ARC_ERR_NAME = 20,           // a file whose name an entry cannot hold ("\" in it), not packed
  ARC_ERR_PASSWORD = 21,       // the password does not open an encrypted entry
  ARC_ERR_USER_ABORT = 23,     // the callback asked to stop; accepted without a message
  ARC_ERR_NOT_AVAILABLE = 120, // the operation is not built in
};

// Open modes of CArcFile::Open.
enum : int {
  ARC_OPEN_READ = 1,
  ARC_OPEN_UPDATE = 2,
  ARC_OPEN_CREATE = 3,
};

// Flags of CArcFile::SetFlags.
enum : u32 {
  ARC_FLAG_NO_OVERWRITE = 0x40,
  ARC_FLAG_KEEP_READONLY = 0x80,
  ARC_FLAG_RECURSE = 0x1000,
  ARC_FLAG_NEWER_ONLY = 0x2000,
};

// (context, event, entry index, archive, text) -> the answer for the event. Called on the
// thread that runs the archive operation.
using ArcCallback = int (*)(void* context, int event, int index, CArcFile* archive, const char* text);

// Asks for the password of an archive's encrypted entries: (entry name, whether the password given
// before was wrong, the password) -> 1 given, 0 none at hand (the entry is reported as encrypted),
// -1 stop (the operation ends as the callback's abort does). Called on the operation's thread.
using ArcPasswordFn = std::function<int(const std::string& entry, bool wrong, std::string& password)>;

class CArcFile {
 public:
  CArcFile() = default;
  virtual ~CArcFile() = default;
  CArcFile(const CArcFile&) = delete;
  CArcFile& operator=(const CArcFile&) = delete;

  // 0 or an ArcError code. For a zip archive the third argument is the deflate level (0-9).
  virtual int Open(const char* path, int mode, int level);
  // Opens an archive held in memory for reading; name stands for it in messages. The bytes stay
  // the caller's and must outlive the archive's opening.
  virtual int OpenMemory(const void* data, std::size_t size, const char* name);
  // Where the passwords of encrypted entries come from (none: such entries are reported). An
  // archive asks once and keeps the password until it is closed; a wrong one is asked again.
  void SetPasswordCallback(ArcPasswordFn fn) { m_passwordFn = std::move(fn); }
  void SetFlags(u32 flags) { m_flags = flags; }
  u32 GetFlags() const { return m_flags; }
  // Enables all events and routes them to fn.
  void SetCallback(void* context, ArcCallback fn);
  // code -1 names all events.
  void DisableEvent(int code, int reserved);
  void EnableEvent(int code, int reserved);
  bool IsEventEnabled(int code) const;
  // The last error (ARC_ERR_USER_ABORT when the callback stopped it); 0 when all went well.
  virtual int ExtractAll(const char* folder, const char* reserved);
  // Number of files added.
  virtual int AddTree(const char* source, const char* plus, const char* minus, const char* folder);

  int GetLastError() const { return m_lastError; }
  // German text of the last error with the archive's path; the caller may append to its copy.
  virtual std::string GetErrorText() const;
  const std::string& GetPath() const { return m_path; }

 protected:
  // Reports an event to the callback; 0 when none is set or the event is disabled.
  int Notify(int event, int index, const char* text);
  void SetError(int code) { m_lastError = code; }

  std::string m_path;
  u32 m_flags = 0;
  int m_lastError = ARC_OK;
  void* m_context = nullptr;
  ArcCallback m_callback = nullptr;
  bool m_allEvents = false;
  u64 m_disabled = 0;  // bit n disables event n (0-63) while m_allEvents
  ArcPasswordFn m_passwordFn;
};
