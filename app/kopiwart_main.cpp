// The program's entry: which frame a start gets, the exit status.
#include "app/kopiwart_main.h"

#include "app/command_line.h"
#include "app/headless_frame.h"
#include "app/kopiwart_app.h"
#include "jobs/tags/path_tags.h"
#include "lib/text/fmt.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

namespace {

i64 g_fixedNow = 0;
i64 FixedNow() { return g_fixedNow; }

// The clock a test fixes through the environment.
std::optional<i64> TestNow() {
  const char* text = std::getenv("KPW_TEST_NOW");
  if (!text || !*text) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || !end || *end != '\0' || value <= 0) return std::nullopt;
  return static_cast<i64>(value);
}

bool NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

bool HaveDisplay() { return NonEmptyEnv("DISPLAY") || NonEmptyEnv("WAYLAND_DISPLAY"); }

int KopiwartMain(int argc, const char* const* argv, AppFrameFactory gui) {
  // A write beyond the file size limit (ulimit -f) then fails with EFBIG like a full disk: that
  // file fails and the run goes on, instead of the signal ending the program.
  ::signal(SIGXFSZ, SIG_IGN);
  const CommandLineInfo cmd = ParseCommandLine(argc, argv);
  const bool runOnly = cmd.startAtOnce && !cmd.file.empty();
  bool forceNoWindow = false;
  std::unique_ptr<IAppFrame> frame;
  if (!(runOnly && cmd.noWindow)) {
    if (HaveDisplay() && gui) frame = gui();
    if (!frame) {
      if (!runOnly) {
        FmtFprintfA(stderr, "Kopiwart: %s\n", kNoWindowText);
        return KPW_EXIT_STOPPED;
      }
      FmtFprintfA(stderr, "Kopiwart: %s\n", kRunsWithoutWindowText);
      forceNoWindow = true;
    }
  }
  CHeadlessFrame* headless = nullptr;
  if (!frame) {
    auto own = std::make_unique<CHeadlessFrame>();
    headless = own.get();
    frame = std::move(own);
  }

  CKopiwartApp app(*frame);
  if (forceNoWindow) app.ForceNoWindow();
  if (const std::optional<i64> now = TestNow()) {
    g_fixedNow = *now;
    app.SetRunClock(FixedNow);
    SetTagClock(FixedNow);
  }
  if (headless) headless->SetSignalHandler([&app](int) { app.RequestCancel(); });
  return app.Run(argc, argv);
}
