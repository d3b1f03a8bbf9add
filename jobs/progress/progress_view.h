// What the progress dialog's window draws, as calls on the main thread.
#pragma once

#include "lib/text/compact_path.h"
#include "platform/win_types.h"

#include <string>

// The window of a progress dialog: caption "Kopieren", the lines "Von:" (0), "Nach:" (1) and a
// status line (2), a bar and the button "Abbrechen". Every call comes on the thread that runs the
// dialog's modal loop.
class IProgressView {
 public:
  virtual ~IProgressView() = default;
  virtual void SetCaption(const std::string& text) = 0;
  virtual void SetLineText(int line, const std::string& text) = 0;
  virtual void SetRange(int range) = 0;
  virtual void SetPos(int position) = 0;
  virtual void EnableCancel(bool enable) = 0;
  // A modal box owned by the dialog; returns an ID* answer.
  virtual int MessageBox(const std::string& text, const std::string& caption, u32 type) = 0;
  // A modal password box: the text, and a field whose input is never shown. IDOK with the
  // password, IDCANCEL, or IDIGNORE where no one can be asked.
  virtual int AskPassword(const std::string& text, const std::string& caption, std::string& password) = 0;
  // The dialog ends with this result (1, or 2 when cancelled).
  virtual void EndDialog(int result) = 0;
  // Pixel width of line 0, and the character widths of its font, for shortening paths.
  virtual int LineWidth() = 0;
  virtual GdiWidthTable CharWidths() = 0;
};
