// The lock keys of a real X server: read through XKB, and shown by the window's panes.
#include "app/gui/lock_key_watch.h"
#include "app/gui/xkb_lock_keys.h"
#include "tests/support/gui/gui_rig.h"
#include "tests/support/xvfb_server.h"

#include <QLabel>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <chrono>

namespace {

// Locks and unlocks keys on the server as a keyboard would, through a connection of the test's.
class Keyboard {
 public:
  explicit Keyboard(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}
  ~Keyboard() {
    if (display_) XCloseDisplay(display_);
  }
  bool Connected() const { return display_ != nullptr; }
  void Caps(bool on) { Lock(LockMask, on); }
  void Num(bool on) { Lock(XkbKeysymToModifiers(display_, XK_Num_Lock), on); }
  // Scroll Lock locks no modifier in the usual maps: its light is set by name.
  void Scroll(bool on) {
    XkbSetNamedIndicator(display_, XInternAtom(display_, "Scroll Lock", False), True, on ? True : False, False,
                         nullptr);
    XSync(display_, False);
  }

 private:
  void Lock(unsigned mask, bool on) {
    XkbLockModifiers(display_, XkbUseCoreKbd, mask, on ? mask : 0);
    XSync(display_, False);
  }
  Display* display_;
};

struct XkbLockKeys : ::testing::Test {
  void SetUp() override {
    KPW_REQUIRE_XVFB(server);
    keyboard = std::make_unique<Keyboard>(server->Display());
    ASSERT_TRUE(keyboard->Connected());
  }
  std::unique_ptr<kpwtest::XvfbServer> server;
  std::unique_ptr<Keyboard> keyboard;
};

TEST_F(XkbLockKeys, ReadsEachLockKeyAndTheWindowShowsThem) {
  const std::unique_ptr<CXkbLockKeys> keys = CXkbLockKeys::Open(server->Display().c_str());
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->Read(), (LockKeyState{false, false, false}));
  keyboard->Caps(true);
  EXPECT_EQ(keys->Read(), (LockKeyState{true, false, false}));
  keyboard->Num(true);
  keyboard->Scroll(true);
  EXPECT_EQ(keys->Read(), (LockKeyState{true, true, true}));
  keyboard->Caps(false);
  keyboard->Scroll(false);
  EXPECT_EQ(keys->Read(), (LockKeyState{false, true, false}));
  EXPECT_EQ(CXkbLockKeys::Open(":4711"), nullptr);  // no server there

  // On X11 the platform's source is the server that DISPLAY names.
  const char* old = std::getenv("DISPLAY");
  const std::string saved = old ? old : "";
  ::setenv("DISPLAY", server->Display().c_str(), 1);
  std::unique_ptr<ILockKeySource> platform = MakeLockKeySource("xcb");
  if (old) ::setenv("DISPLAY", saved.c_str(), 1); else ::unsetenv("DISPLAY");
  ASSERT_TRUE(platform);
  EXPECT_EQ(platform->Read(), (LockKeyState{false, true, false}));

  // The window reads the server's keys while it shows: a key locked in another program shows.
  kpwgui::Rig rig;
  ASSERT_TRUE(rig.Init({}));
  rig.Activate();
  rig.frame.LockKeys().SetSource(std::move(platform));
  keyboard->Caps(true);
  const auto shown = [&] {
    const int n = rig.frame.StatusPaneCount();
    std::string texts;
    for (int i = n - 3; i < n; ++i) texts += "[" + rig.frame.StatusPaneLabel(i)->text().toStdString() + "]";
    return texts;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shown() != "[UF][NUM][]" && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(shown(), "[UF][NUM][]");
}

}  // namespace
