// CTemplateTextDlg: the tree list's small dialog with one text field.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;

// Two layouts: variant 0 puts the prompt beside the field, variant 1 above it with room for a
// longer text. The field's text is exchanged through m_strText (UTF-8): set before DoModal, read
// after it answered IDOK.
class CTemplateTextDlg : public QDialog {
 public:
  CTemplateTextDlg(QWidget* parent, int variant);
  ~CTemplateTextDlg() override;

  // 1 (IDOK) or 2 (IDCANCEL).
  int DoModal();
  // The field's text to m_strText (save) or from it, with prompt and caption.
  void UpdateData(bool save);
  // The clipboard's text into the field, and the field's text onto the clipboard (UTF-8).
  void PasteClipboard();
  void CopyToClipboard() const;

  int Variant() const { return m_variant; }
  QLineEdit* Field() const { return m_edit; }

  std::string m_strText;     // the field
  std::string m_strCaption;  // window title (empty: keeps the default)
  std::string m_strPrompt;   // the label at the field

 private:
  int m_variant;
  QLabel* m_label = nullptr;
  QLineEdit* m_edit = nullptr;
};
