// The program's entry: which frame a start gets, the exit status.
#include "app/kopiwart_main.h"

#include "app/command_line.h"
#include "app/display_probe.h"
#include "app/headless_frame.h"
#include "app/kopiwart_app.h"
#include "lib/text/fmt.h"

#include <signal.h>

int KopiwartMain(int argc, const char* const* argv, AppFrameFactory gui, JobEnvironment env) {
  // A write beyond the file size limit (ulimit -f) then fails with EFBIG like a full disk: that
  // file fails and the run goes on, instead of the signal ending the program.
  ::signal(SIGXFSZ, SIG_IGN);
  const CommandLineInfo cmd = ParseCommandLine(argc, argv);
  const bool runOnly = cmd.startAtOnce && !cmd.file.empty();
  bool forceNoWindow = false;
  std::unique_ptr<IAppFrame> frame;
  if (gui) {
    // Tried first: Qt ends the program when it cannot reach the display it is given.
    const DisplayProbe display = ProbeDisplay();
    if (display.reachable) frame = gui(display.platform);
    if (!display.reason.empty()) FmtFprintfA(stderr, "Kopiwart: %s\n", display.reason.c_str());
  }
  if (!frame) {
    if (!runOnly) {
      FmtFprintfA(stderr, "Kopiwart: %s\n", kNoWindowText);
      return KPW_EXIT_STOPPED;
    }
    // "-S -N" asked for no window; "-S" alone is told that it gets none.
    if (!cmd.noWindow) FmtFprintfA(stderr, "Kopiwart: %s\n", kRunsWithoutWindowText);
    forceNoWindow = true;
  }
  CHeadlessFrame* headless = nullptr;
  if (!frame) {
    auto own = std::make_unique<CHeadlessFrame>();
    headless = own.get();
    frame = std::move(own);
  }

  CKopiwartApp app(*frame);
  if (forceNoWindow) app.ForceNoWindow();
  app.SetEnvironment(std::move(env));
  if (headless) headless->SetSignalHandler([&app](int) { app.RequestCancel(); });
  frame->AttachApp(&app);
  const int status = app.Run(argc, argv);
  frame->AttachApp(nullptr);
  return status;
}
