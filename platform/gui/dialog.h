// The dialog base with controls by id and dialog data exchange (radio, check, integer, text, limit).
#pragma once

#include "platform/win_types.h"

#include <QDialog>

#include <map>
#include <string>

class CDialog;

// One exchange run: to the controls (load) or from them (save and validate).
class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, bool saveAndValidate)
      : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  // The control of an id, remembered as the one a failure puts the focus on.
  QWidget* PrepareCtrl(int id);
  // Ends the exchange as failed: the focus goes back to the last prepared control.
  [[noreturn]] void Fail();

  CDialog* const m_pDlgWnd;
  const bool m_bSaveAndValidate;
  int m_idLastControl = 0;
};

// A modal dialog whose controls are known by id; subclasses override DoDataExchange.
class CDialog : public QDialog {
 public:
  explicit CDialog(QWidget* parent = nullptr);

  // Runs the dialog modally and returns IDOK, IDCANCEL or what EndDialog gave; from another
  // thread it runs on the main thread while the caller waits.
  INT_PTR DoModal();
  void EndDialog(int result) { done(result); }

  // Moves data to the controls (false) or from them (true); false when the exchange failed.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

  void SetDlgItem(int id, QWidget* control);
  QWidget* GetDlgItem(int id) const;
  void SetDlgItemText(int id, const std::string& text);
  std::string GetDlgItemText(int id) const;

 protected:
  virtual void DoDataExchange(CDataExchange* /*pDX*/) {}
  // Before the dialog shows: loads the controls.
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();

 public:
  // Enter and Esc and the close button come here and go on to OnOK/OnCancel.
  void accept() override { OnOK(); }
  void reject() override { OnCancel(); }

 private:
  std::map<int, QWidget*> controls_;
};

// The exchange helpers. Text is UTF-8; limits count characters (code points), never bytes.
void DDX_Radio(CDataExchange* pDX, int firstId, int& value);  // the group's index, -1 for none
void DDX_Check(CDataExchange* pDX, int id, int& value);       // 0, 1, 2 (indeterminate)
void DDX_Text(CDataExchange* pDX, int id, int& value);        // a bad number prompts and fails
void DDX_Text(CDataExchange* pDX, int id, std::string& value);
// Load: limits the last prepared edit to maxChars; save: a longer text prompts and fails.
void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxChars);

// Save: a value outside minValue..maxValue prompts and fails (the focus goes to the last prepared
// control). Load: nothing.
void DDV_MinMaxInt(CDataExchange* pDX, int value, int minValue, int maxValue);

// EM_LIMITTEXT: the edit (a line edit, or an editable combo box's) takes at most maxChars
// characters from the keyboard; 0 lifts the limit. A text that is longer when the limit is set
// (or set later) is not cut: it may only get shorter.
void LimitText(QWidget* edit, int maxChars);
// The number of characters of a UTF-8 text.
std::size_t Utf8Chars(const std::string& text);
// Reads a whole integer as the class library does: leading blanks, a sign, digits, nothing else.
bool ParseDialogInt(const std::string& text, int& value);
