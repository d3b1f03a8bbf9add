// The progress dialog's window: draws what CProgressDlg hands it and turns the user's cancel into
// the dialog's cancel.
#pragma once

#include "jobs/progress/progress_dlg.h"
#include "jobs/progress/progress_view.h"

#include <QDialog>

#include <array>
#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

// Caption "Kopieren", "Von:" with line 0, "Nach:" with line 1, the status line 2, a bar and
// "Abbrechen". Esc and the window's close button act as the button: the dialog's cancel (the
// callback once, the button disabled); the window stays until the worker returns. Lives on the
// main thread; the character widths are measured once, when it is made.
class CProgressWnd : public QDialog, public IProgressView {
  Q_OBJECT

 public:
  using BoxFn =
      std::function<int(QWidget* owner, const std::string& text, const std::string& caption, u32 type)>;

  explicit CProgressWnd(CProgressDlg& dialog, QWidget* parent = nullptr);
  ~CProgressWnd() override;

  // Boxes of the worker's questions; without one the plain box answers (ShowPlainBox).
  void SetBoxFunction(BoxFn box) { m_box = std::move(box); }
  // Starts the dialog's worker and runs modally until it returns; 1, or 2 when cancelled.
  int Run();

  QLabel* Line(int line) const { return m_lines.at(static_cast<std::size_t>(line)); }
  QProgressBar* Bar() const { return m_bar; }
  QPushButton* CancelButton() const { return m_cancel; }
  // How often the widths were measured (once per window).
  int WidthMeasurements() const { return m_measurements; }

  // IProgressView
  void SetCaption(const std::string& text) override;
  void SetLineText(int line, const std::string& text) override;
  void SetRange(int range) override;
  void SetPos(int position) override;
  void EnableCancel(bool enable) override;
  int MessageBox(const std::string& text, const std::string& caption, u32 type) override;
  int AskPassword(const std::string& text, const std::string& caption, std::string& password) override;
  void EndDialog(int result) override;
  int LineWidth() override;
  GdiWidthTable CharWidths() override { return m_widths; }

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void PumpNow();

  CProgressDlg& m_dialog;
  std::array<QLabel*, 3> m_lines{};
  QProgressBar* m_bar = nullptr;
  QPushButton* m_cancel = nullptr;
  QTimer* m_pumpTimer = nullptr;
  GdiWidthTable m_widths;
  int m_measurements = 0;
  bool m_ended = false;
  BoxFn m_box;
  // Wake-ups come from the worker; they reach the window only while this token lives.
  std::shared_ptr<CProgressWnd*> m_token;
};

// Runs the dialog in a window from any thread: on the main thread directly, from another thread
// as a blocking call into it (the window is modal to the whole application). 1, or 2 when
// cancelled.
int RunProgressDialog(CProgressDlg& dialog, QWidget* parent = nullptr, CProgressWnd::BoxFn box = {});

// The plain box: buttons and icon from the type, Windows answers (IDOK ... IDNO).
int ShowPlainBox(QWidget* owner, const std::string& text, const std::string& caption, u32 type);
// The password box: the text, a field that shows no input, "OK" and "Abbrechen"; IDOK with the
// password, or IDCANCEL.
int ShowPasswordBox(QWidget* owner, const std::string& text, const std::string& caption, std::string& password);
