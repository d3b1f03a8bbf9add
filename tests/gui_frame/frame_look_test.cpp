// The frame's look and bars: "FlatMode" and "MenuMode" through the registry store and their
// commands, the menus' colours and toolbar images, WM_FLATMENU_PROBE, the status-pane service as
// the bar shows it (also from another thread), and a screenshot with toolbar and status bar.
#include "tests/gui_frame/frame_rig.h"

#include "app/gui/flat_menu_style.h"
#include "controls/gui/toolbar_new.h"
#include "lib/system/registry.h"

#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolButton>

#include <atomic>
#include <thread>

namespace {

using namespace kpwframe;

std::vector<bool> AutoRaise(const CToolBarNew& bar) {
  std::vector<bool> raise;
  for (QAction* action : bar.actions())
    if (auto* button = qobject_cast<QToolButton*>(bar.widgetForAction(action)))
      raise.push_back(button->autoRaise());
  return raise;
}

DWORD StoredSetting(const char* name) {
  CRegistry reg;
  DWORD value = 99;
  if (!reg.Open(HKEY_CURRENT_USER, (CRegistry::ApplicationKeyPath() + "\\Settings").c_str(), REG_OPEN_READ) ||
      !reg.GetDword(name, value))
    return 99;
  return value;
}

TEST(FrameLook, FlatAndMenuModeRoundTripThroughTheStoreAndTheProbeAnswers) {
  {
    Rig rig;
    ASSERT_TRUE(rig.Init({}));
    rig.Settle();
    EXPECT_EQ(rig.frame.Look().flatMode, 1);
    EXPECT_EQ(rig.frame.Look().menuMode, 1);
    ASSERT_NE(rig.frame.ToolBar(), nullptr);
    const std::vector<bool> raised = AutoRaise(*rig.frame.ToolBar());
    ASSERT_GE(raised.size(), 10u);
    EXPECT_EQ(std::count(raised.begin(), raised.end(), true), static_cast<long>(raised.size()));
    EXPECT_EQ(rig.frame.Router().Query(ID_FLAT_TOOLBAR).GetCheck(), 1);
    EXPECT_EQ(rig.frame.Router().Query(ID_MENU_MODE).GetCheck(), 1);

    EXPECT_TRUE(rig.frame.SendCommand(ID_FLAT_TOOLBAR));
    EXPECT_TRUE(rig.frame.SendCommand(ID_MENU_MODE));
    const std::vector<bool> flat = AutoRaise(*rig.frame.ToolBar());
    EXPECT_EQ(std::count(flat.begin(), flat.end(), false), static_cast<long>(flat.size()));
    EXPECT_EQ(rig.frame.Router().Query(ID_FLAT_TOOLBAR).GetCheck(), 0);
    EXPECT_EQ(rig.frame.Router().Query(ID_MENU_MODE).GetCheck(), 0);
  }
  // Written as the window went, as REG_DWORD under the application's "Settings".
  EXPECT_EQ(StoredSetting("FlatMode"), 0u);
  EXPECT_EQ(StoredSetting("MenuMode"), 0u);

  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  EXPECT_EQ(rig.frame.Look().flatMode, 0);
  EXPECT_EQ(rig.frame.Look().menuMode, 0);
  const std::vector<bool> raised = AutoRaise(*rig.frame.ToolBar());
  EXPECT_EQ(std::count(raised.begin(), raised.end(), false), static_cast<long>(raised.size()));
  EXPECT_EQ(rig.frame.Router().Query(ID_FLAT_TOOLBAR).GetCheck(), 0);

  // The probe, on the main thread and sent from another.
  EXPECT_EQ(rig.frame.SendMessage(WM_FLATMENU_PROBE), 0x12345678);
  std::atomic<LRESULT> fromThread{0};
  std::thread other([&] { fromThread = rig.frame.SendMessage(WM_FLATMENU_PROBE); });
  EXPECT_TRUE(kpwtest::PumpUntil([&] { return fromThread.load() != 0; })) << "the probe sent from a thread did not return";
  kpwtest::JoinWithin(other, "the probe sent from a thread");
  EXPECT_EQ(fromThread.load(), 0x12345678);
}

// The colour at a point of a menu as shown with this action selected.
QColor ShownColour(QMenu* menu, QAction* selected, QPoint at) {
  menu->popup(QPoint(20, 20));
  QCoreApplication::processEvents();
  menu->setActiveAction(selected);
  QCoreApplication::processEvents();
  const QImage image = menu->grab().toImage();
  menu->hide();
  QCoreApplication::processEvents();
  return image.pixelColor(at);
}

QColor Mix(const QColor& a, const QColor& b) {
  return QColor((a.red() + b.red()) / 2, (a.green() + b.green()) / 2, (a.blue() + b.blue()) / 2);
}

bool AllGrey(const QImage& image, const QRect& area) {
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (std::abs(c.red() - c.green()) > 8 || std::abs(c.green() - c.blue()) > 8) return false;
    }
  return true;
}

TEST(FrameLook, MenusTakeTheModesColoursAndTheToolbarsImages) {
  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  rig.Activate();
  QMenu* file = rig.frame.RecentMenuOwner();
  QAction* first = file->actions().front();  // "Neu"
  QAction* second = file->actions().at(1);
  const QRect item = file->actionGeometry(first);
  const QPoint inItem(item.right() - 2, item.top() + 1);
  const QPalette palette = file->palette();

  // MenuMode 1: the selected item in half window, half highlight; the others in the menu colour.
  EXPECT_EQ(ShownColour(file, first, inItem),
            Mix(palette.color(QPalette::Base), palette.color(QPalette::Highlight)));
  EXPECT_EQ(ShownColour(file, second, inItem), palette.color(QPalette::Window));
  // "Menümodus" switches the next menu shown to the palette's own highlight.
  EXPECT_TRUE(rig.frame.SendCommand(ID_MENU_MODE));
  EXPECT_EQ(ShownColour(file, first, inItem), palette.color(QPalette::Highlight));

  // The toolbar's images stand beside their commands in the menus.
  for (QAction* action : file->actions()) {
    const UINT id = CCommandRouter::CommandIdOf(action);
    if (id == ID_FILE_NEW || id == ID_FILE_OPEN || id == ID_FILE_SAVE) {
      EXPECT_FALSE(action->icon().isNull());
      EXPECT_EQ(action->icon().cacheKey(), rig.frame.ToolBar()->ImageOf(id).cacheKey());
    }
  }
  // A disabled item's image is drawn greyed: "Löschen" with no row selected.
  QMenu* edit = nullptr;
  for (QAction* top : rig.frame.menuBar()->actions())
    if (top->text() == QStringLiteral("&Bearbeiten")) edit = top->menu();
  ASSERT_NE(edit, nullptr);
  QAction* del = nullptr;
  for (QAction* action : edit->actions())
    if (CCommandRouter::CommandIdOf(action) == ID_EDIT_DELETE) del = action;
  ASSERT_NE(del, nullptr);
  edit->popup(QPoint(20, 20));
  QCoreApplication::processEvents();
  ASSERT_FALSE(del->isEnabled());
  const QImage shown = edit->grab().toImage();
  edit->hide();
  const QRect delItem = edit->actionGeometry(del);
  const QRect image(delItem.left() + 1, delItem.top() + (delItem.height() - 16) / 2, 16, 16);
  EXPECT_TRUE(AllGrey(shown, image));
  EXPECT_FALSE(AllGrey(del->icon().pixmap(16).toImage(), QRect(0, 0, 16, 16)));
}

// The status bar shows what the service holds: pane numbers, the 25-pane limit, colours.
TEST(FrameStatus, TheBarShowsTheServicesPanes) {
  Rig rig;
  // Before the status bar exists (the window not made yet) every call answers 0.
  const char* texts[] = {"b0", "b1", "b2", "b3", "b4", "b5", "b6", "b7", "b8", "b9"};
  const int widths[] = {-5, 40, 40, 40, 40, 40, 40, 40, 40, 40};
  const LPARAM set[3] = {reinterpret_cast<LPARAM>(texts), reinterpret_cast<LPARAM>(widths), 10};
  const LPARAM text[5] = {0, reinterpret_cast<LPARAM>("x"), 0, -1, -1};
  const char* many[20] = {};
  for (const char*& t : many) t = "g";
  const LPARAM add[3] = {reinterpret_cast<LPARAM>(many), 0, 20};
  EXPECT_EQ(rig.frame.StatusBar(), nullptr);
  for (WPARAM op = 0; op <= 5; ++op) {
    const LPARAM* words = op == 0 ? set : op == 3 ? add : text;
    EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, op, reinterpret_cast<LPARAM>(words)), 0) << op;
  }
  EXPECT_EQ(rig.frame.findChild<QStatusBar*>(), nullptr);

  ASSERT_TRUE(rig.Init({}));
  ASSERT_NE(rig.frame.StatusBar(), nullptr);
  EXPECT_EQ(rig.frame.StatusPaneCount(), 4);  // the message pane and three indicators
  EXPECT_EQ(rig.frame.StatusPaneLabel(0)->text(), QStringLiteral("Bereit"));
  // Text before the base panes are set: not possible.
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 1, reinterpret_cast<LPARAM>(text)), 0);

  // Eight base panes at most; a negative width counts status-font units.
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 0, reinterpret_cast<LPARAM>(set)), 8);
  ASSERT_EQ(rig.frame.StatusPaneCount(), 12);
  EXPECT_EQ(rig.frame.StatusPaneLabel(1)->text(), QStringLiteral("b0"));
  const QFontMetrics metrics(rig.frame.StatusBar()->font());
  EXPECT_EQ(rig.frame.StatusPaneLabel(1)->width(), 5 * std::min(metrics.averageCharWidth(), 25));
  EXPECT_EQ(rig.frame.StatusPaneLabel(2)->width(), 40);

  // Pane 0 is status pane 1; -1 the last before the indicators.
  EXPECT_EQ(rig.frame.SetStatusPaneText(0, "erste", 0, -1, -1), 1);
  EXPECT_EQ(rig.frame.SetStatusPaneText(-1, "letzte", 0, -1, -1), 1);
  EXPECT_EQ(rig.frame.StatusPaneLabel(1)->text(), QStringLiteral("erste"));
  EXPECT_EQ(rig.frame.StatusPaneLabel(8)->text(), QStringLiteral("letzte"));
  EXPECT_EQ(rig.frame.SetStatusPaneText(8, "zu weit", 0, -1, -1), 0);   // an indicator
  EXPECT_EQ(rig.frame.SetStatusPaneText(-9, "zu weit", 0, -1, -1), 0);  // the message pane

  // A coloured pane: its colours, the text centred; negative colours make it plain again.
  EXPECT_EQ(rig.frame.SetStatusPaneText(1, "rot", 0, 0xFFFFFF, 0x0000FF), 1);
  QLabel* red = rig.frame.StatusPaneLabel(2);
  EXPECT_TRUE(red->autoFillBackground());
  EXPECT_EQ(red->palette().color(QPalette::Window), QColor(255, 0, 0));
  EXPECT_EQ(red->palette().color(QPalette::WindowText), QColor(255, 255, 255));
  EXPECT_EQ(red->alignment(), Qt::AlignCenter);
  const LPARAM plain[4] = {1, 0, -1, -1};
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 4, reinterpret_cast<LPARAM>(plain)), 1);
  EXPECT_FALSE(rig.frame.StatusPaneLabel(2)->autoFillBackground());
  EXPECT_EQ(rig.frame.StatusPaneLabel(2)->text(), QStringLiteral("rot"));

  // A group of 20 is cut to the 13 that fit 25 panes; its position counts back from the end.
  const LRESULT group = rig.frame.SendMessage(WM_STATUS_PANE_CALL, 3, reinterpret_cast<LPARAM>(add));
  EXPECT_EQ(group & 0xFFFF, 2);
  EXPECT_EQ(static_cast<short>(group >> 16), -13);
  EXPECT_EQ(rig.frame.StatusPaneCount(), 25);
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 3, reinterpret_cast<LPARAM>(add)), -1);
  EXPECT_EQ(rig.frame.SetStatusPaneText(-13, "gruppe", 0, -1, -1), 1);
  EXPECT_EQ(rig.frame.StatusPaneLabel(9)->text(), QStringLiteral("gruppe"));
  // Removing takes group 2's panes only.
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 2, 0), 12);
  EXPECT_EQ(rig.frame.StatusPaneCount(), 12);
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 7, 0), 1);  // an unknown operation

  // Group ids wrap from 0xFFFF to 2, and the group that gets 2 again is the one removing takes.
  CStatusPanes& service = rig.frame.StatusPanes();
  const char* one[] = {"g"};
  while (service.NextGroupId() != 0xFFFF) {
    if (service.Panes().size() == 25) service.BarCreated();  // a fresh bar; the ids go on
    service.AddStatusPanes(one, nullptr, 1);
  }
  service.BarCreated();
  const LPARAM addOne[3] = {reinterpret_cast<LPARAM>(one), 0, 1};
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 3, reinterpret_cast<LPARAM>(addOne)) & 0xFFFF, 0xFFFF);
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 3, reinterpret_cast<LPARAM>(addOne)) & 0xFFFF, 2);
  EXPECT_EQ(rig.frame.StatusPaneCount(), 6);
  EXPECT_EQ(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 2, 0), 5);
  EXPECT_EQ(rig.frame.StatusPaneCount(), 5);
}

TEST(FrameStatus, CallsFromAnotherThreadReachTheBar) {
  Rig rig;
  ASSERT_TRUE(rig.Init({}));
  const char* texts[] = {"a", "b"};
  ASSERT_EQ(rig.frame.SetStatusPanes(texts, nullptr, 2), 2);
  std::atomic<bool> done{false};
  int answered = 0;
  std::thread other([&] {
    for (int i = 0; i < 200; ++i) {
      const std::string sent = "gesendet " + std::to_string(i);
      const LPARAM words[5] = {0, reinterpret_cast<LPARAM>(sent.c_str()), 0, -1, -1};
      answered +=
          static_cast<int>(rig.frame.SendMessage(WM_STATUS_PANE_CALL, 1, reinterpret_cast<LPARAM>(words)));
      // The service itself, called directly: the bar follows from the main loop.
      rig.frame.StatusPanes().SetStatusPaneText(1, ("direkt " + std::to_string(i)).c_str(), 0,
                                                i % 2 ? 0xFF : -1, -1);
    }
    done = true;
  });
  EXPECT_TRUE(kpwtest::PumpUntil([&] { return done.load(); })) << "the status panes' calls did not return";
  kpwtest::JoinWithin(other, "status pane calls from a thread");
  rig.Settle();
  EXPECT_EQ(answered, 200);
  EXPECT_EQ(rig.frame.StatusPaneLabel(1)->text(), QStringLiteral("gesendet 199"));
  EXPECT_EQ(rig.frame.StatusPaneLabel(2)->text(), QStringLiteral("direkt 199"));
  EXPECT_EQ(rig.frame.StatusPaneLabel(2)->palette().color(QPalette::WindowText), QColor(255, 0, 0));
}

bool Varied(const QImage& image, const QRect& area) {
  const QRgb first = image.pixel(area.topLeft());
  for (int y = area.top(); y <= area.bottom(); y += 2)
    for (int x = area.left(); x <= area.right(); x += 2)
      if (image.pixel(x, y) != first) return true;
  return false;
}

TEST(FrameLook, ScreenshotOfTheFrameWithToolbarAndStatusBar) {
  kpwtest::TempDir dir("gui-shot");
  const std::string file = dir / "jobs.kpw";
  std::string rows;
  for (int i = 0; i < 4; ++i)
    rows += JobRow("/daten/quelle" + std::to_string(i), "/sicherung/ziel" + std::to_string(i));
  kpwtest::WriteFile(file, rows + kAlways);
  Rig rig;
  ASSERT_TRUE(rig.Init({file.c_str()}));
  rig.Activate();
  // After the view got the focus, which gives the bar its own three panes.
  const char* texts[] = {"Zeile 1", "Spalte 1"};
  const int widths[] = {-10, -8};
  rig.frame.SetStatusPanes(texts, widths, 2);
  rig.frame.SetStatusPaneText(1, "Spalte 1", 0, 0x000000, 0x80FFFF);
  rig.Settle();

  const QImage shot = rig.frame.grab().toImage();
  const std::string out = std::string(KPW_BUILD_DIR) + "/gui_frame.png";
  ASSERT_TRUE(shot.save(QString::fromStdString(out)));
  const QImage image(QString::fromStdString(out));
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), rig.frame.size() * rig.frame.devicePixelRatio());
  EXPECT_TRUE(Varied(image, image.rect()));
  // The toolbar and the status bar lie inside the window and carry something to see.
  const QRect bar = rig.frame.ToolBar()->geometry();
  const QRect status = rig.frame.StatusBar()->geometry();
  ASSERT_TRUE(image.rect().contains(bar));
  ASSERT_TRUE(image.rect().contains(status));
  EXPECT_GT(bar.height(), 10);
  EXPECT_GT(status.height(), 10);
  EXPECT_LT(bar.bottom(), status.top());
  EXPECT_TRUE(Varied(image, bar));
  EXPECT_TRUE(Varied(image, status));
  // The coloured pane shows its background.
  const QRect pane = rig.frame.StatusPaneLabel(2)->geometry().translated(status.topLeft());
  EXPECT_EQ(image.pixelColor(pane.left() + 3, pane.top() + 3), QColor(255, 255, 128));
}

}  // namespace
