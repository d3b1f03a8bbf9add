// The host of runs without a window: messages on standard error, unattended answers.
#include "app/headless_host.h"

#include "jobs/progress/progress_dlg.h"
#include "jobs/progress/progress_view.h"
#include "lib/text/fmt.h"

int HeadlessRunHost::MessageBox(const std::string& text, const std::string& caption, u32 type) {
  // Every line already begins with the title.
  const bool plain = caption.empty() || caption == kAppTitle;
  FmtFprintfA(stderr, "Kopiwart: %s%s%s\n", plain ? "" : caption.c_str(), plain ? "" : ": ", text.c_str());
  return UnattendedAnswer(type);
}

void HeadlessRunHost::ReportError(const std::string& text, const std::string& caption) {
  FmtFprintfA(stderr, "Kopiwart: %s%s%s\n", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
}

namespace {

// A progress window that shows nothing; its boxes go to the host.
class SilentProgressView : public IProgressView {
 public:
  explicit SilentProgressView(IRunHost& host) : m_host(host) {}
  void SetCaption(const std::string&) override {}
  void SetLineText(int, const std::string&) override {}
  void SetRange(int) override {}
  void SetPos(int) override {}
  void EnableCancel(bool) override {}
  int MessageBox(const std::string& text, const std::string& caption, u32 type) override {
    return m_host.MessageBox(text, caption, type);
  }
  // Nothing is asked where no one can answer.
  int AskPassword(const std::string&, const std::string&, std::string&) override { return IDIGNORE; }
  void EndDialog(int) override {}
  int LineWidth() override { return 400; }
  GdiWidthTable CharWidths() override { return GdiWidthTable::Uniform(7); }

 private:
  IRunHost& m_host;
};

}  // namespace

int HeadlessRunHost::RunProgressDialog(CProgressDlg& dialog) {
  SilentProgressView view(*this);
  return dialog.DoModal(view);
}
