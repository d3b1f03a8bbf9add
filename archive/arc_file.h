// The archive base class: events, error codes and the operations the job engine calls.
#pragma once

#include "platform/win_types.h"

#include <string>

class CArcFile;

// Events that an archive reports through its callback.
enum ArcEvent : int {
  ARC_EVENT_ERROR = 10,       // an error; the text is given and the answer is returned to the archive
  ARC_EVENT_FILE_DONE = 11,   // a file was stored or extracted
  ARC_EVENT_FILE_ADDED = 14,  // a file was added
  ARC_EVENT_ENTRY = 15,       // an entry is about to be processed; 1 skips it
};

// Error codes of the archive classes (0 = none).
enum ArcError : int {
  ARC_OK = 0,
  ARC_ERR_USER_ABORT = 23,        // the callback asked to stop; accepted without a message
  ARC_ERR_NOT_AVAILABLE = 120,    // the operation is not built in
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

class CArcFile {
 public:
  CArcFile() = default;
  virtual ~CArcFile() = default;
  CArcFile(const CArcFile&) = delete;
  CArcFile& operator=(const CArcFile&) = delete;

  // 0 or an ArcError code.
  virtual int Open(const char* path, int mode, int reserved);
  void SetFlags(u32 flags) { m_flags = flags; }
  u32 GetFlags() const { return m_flags; }
  // Enables all events and routes them to fn.
  void SetCallback(void* context, ArcCallback fn);
  // code -1 names all events.
  void DisableEvent(int code, int reserved);
  void EnableEvent(int code, int reserved);
  bool IsEventEnabled(int code) const;
  // The last error (ARC_ERR_USER_ABORT when the callback stopped it).
  virtual int ExtractAll(const char* folder, const char* reserved);
  // Number of files added.
  virtual int AddTree(const char* source, const char* plus, const char* minus, const char* folder);

  int GetLastError() const { return m_lastError; }
  // German text of the last error with the archive's path; the caller may append to its copy.
  virtual std::string GetErrorText() const;

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
};
