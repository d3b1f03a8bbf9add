// The special-settings dialogs opened on a cell, edited through their controls, closed with OK or Cancel.
#include "app/gui/dialog_places.h"
#include "app/gui/settings_dlg.h"
#include "jobs/job_extra.h"
#include "jobs/workers/kopiwart_rules.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/puffer_cell.h"
#include "jobs/workers/zip_worker.h"
#include "tests/gui_dialogs/dialog_driver.h"
#include "tests/support/gui/scripted_prompter.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>

namespace {

using namespace kpwdlg;
using Strings = std::vector<std::string>;

// Opens dialog on cell, lets act edit it, and gives the cell as it is afterwards with the answer.
std::pair<INT_PTR, std::string> Edit(CSettingsDlg& dialog, const std::string& cell, std::function<void()> act) {
  std::string text = cell;
  dialog.SetText(&text);
  const INT_PTR answer = RunModal(dialog, std::move(act));
  return {answer, text};
}

TEST(CopySettingsDlg, OpensOnTheCellWritesWhatTheWorkerReadsAndCancelKeepsTheCell) {
  {
    CCopySettingsDlg dlg;
    const auto [answer, text] = Edit(dlg, "*[host];a;b", [&] {
      EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Spezialeinstellungen"));
      EXPECT_TRUE(Item<QRadioButton>(dlg, 1009)->isChecked());
      EXPECT_EQ(Item<QRadioButton>(dlg, 1009)->text(), QStringLiteral("Nur am Host"));
      EXPECT_EQ(Text(dlg, 1001), "host");
      EXPECT_TRUE(dlg.GetDlgItem(1001)->isEnabled());
      EXPECT_EQ(Rows(*dlg.ListCtrl(IDC_FOLDER_LIST)), (Strings{"a", "b", ""}));
      EXPECT_TRUE(dlg.ListCtrl(IDC_FOLDER_LIST)->header()->isHidden());
      Click(dlg, IDOK);
    });
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(text, "*[host];a;b");
  }
  {
    CCopySettingsDlg dlg;
    const auto [answer, text] = Edit(dlg, "*;a", [&] {
      EXPECT_TRUE(Item<QRadioButton>(dlg, 1008)->isChecked());
      EXPECT_FALSE(dlg.GetDlgItem(1001)->isEnabled());
      Click(dlg, 1007);
      Click(dlg, IDOK);
    });
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(text, "a");
  }
  {
    // Lines cleared and added, the host chosen and typed.
    CCopySettingsDlg dlg;
    const auto [answer, text] = Edit(dlg, "a;b", [&] {
      CTreeListCtrl& list = *dlg.ListCtrl(IDC_FOLDER_LIST);
      EditCell(list, 0, 0, "");
      EditCell(list, 1, 0, "Neu\\Ordner ");
      EXPECT_EQ(Rows(list), (Strings{"b", "Neu\\Ordner ", ""}));
      EXPECT_TRUE(dlg.isVisible());  // Enter ended the edit, not the dialog
      Click(dlg, 1009);
      EXPECT_TRUE(dlg.GetDlgItem(1001)->isEnabled());
      TypeInto(Item<QLineEdit>(dlg, 1001), "rechner");
      Click(dlg, IDOK);
    });
    EXPECT_EQ(answer, IDOK);
    const JobExtraHead head = ExtraHeadParse(text);
    EXPECT_TRUE(head.hostRestricted);
    EXPECT_EQ(head.host, "rechner");
    EXPECT_FALSE(head.targetMustExist);
    EXPECT_EQ(head.excludedFolders, (Strings{"b", "neu/ordner"}));
  }
  {
    CCopySettingsDlg dlg;
    const auto [answer, text] = Edit(dlg, "*[host];a;b", [&] {
      Click(dlg, 1007);
      EditCell(*dlg.ListCtrl(IDC_FOLDER_LIST), 0, 0, "x");
      Click(dlg, IDCANCEL);
    });
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_EQ(text, "*[host];a;b");
  }
}

TEST(SettingsDlg, EveryDialogLeavesTheCellAsItWasOnCancel) {
  using kpw::view::SettingsDialog;
  const std::pair<SettingsDialog, const char*> kinds[] = {
      {SettingsDialog::Copy, "*[h];a"},       {SettingsDialog::Subdir, "a;b"},
      {SettingsDialog::Zip, "sub;a"},         {SettingsDialog::Synch, "*[h]"},
      {SettingsDialog::Puffer, "h:10"},       {SettingsDialog::ShrinkThinning, "7;*;a"},
      {SettingsDialog::ShrinkSize, "0,30;a"},
  };
  for (const auto& [kind, cell] : kinds) {
    const std::unique_ptr<CSettingsDlg> dlg = MakeSettingsDialog(kind, nullptr, nullptr);
    ASSERT_NE(dlg, nullptr);
    const auto [answer, text] = Edit(*dlg, cell, [&] {
      if (dlg->GetDlgItem(1007)) Click(*dlg, 1007);
      if (auto* edit = qobject_cast<QLineEdit*>(dlg->GetDlgItem(1001))) TypeInto(edit, "anders");
      if (CTreeListCtrl* list = dlg->ListCtrl(IDC_FOLDER_LIST)) EditCell(*list, 0, 0, "");
      Click(*dlg, IDCANCEL);
    });
    EXPECT_EQ(answer, IDCANCEL) << cell;
    EXPECT_EQ(text, cell);
  }
  EXPECT_EQ(MakeSettingsDialog(kpw::view::SettingsDialog::None, nullptr, nullptr), nullptr);
}

TEST(CopySettingsDlg, AHostThatTheWorkerWouldCutIsRefusedAndTheDialogStaysOpen) {
  CScriptedPrompter prompter;
  CCopySettingsDlg dlg;
  const auto [answer, text] = Edit(dlg, "", [&] {
    Click(dlg, 1009);
    TypeInto(Item<QLineEdit>(dlg, 1001), "pc;x");
    Click(dlg, IDOK);
    EXPECT_TRUE(dlg.isVisible());
    TypeInto(Item<QLineEdit>(dlg, 1001), "pc");
    Click(dlg, IDOK);
  });
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Das Zeichen \";\" ist in diesem Feld nicht erlaubt !");
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(text, "*[pc]");
}

TEST(SynchSettingsDlg, WritesTheWhenPartAndKeepsAStarBehindTheHost) {
  for (const auto& [cell, expected] : {std::pair{"*[h];x;y", "*[h]"}, std::pair{"*[h];*", "*[h];*"}}) {
    CSynchSettingsDlg dlg;
    const auto [answer, text] = Edit(dlg, cell, [&] {
      EXPECT_TRUE(Item<QRadioButton>(dlg, 1009)->isChecked());
      EXPECT_EQ(Text(dlg, 1001), "h");
      EXPECT_EQ(dlg.ListCtrl(IDC_FOLDER_LIST), nullptr);
      Click(dlg, IDOK);
    });
    EXPECT_EQ(text, expected);
    EXPECT_EQ(SynchParseExtra(text).quietWhenMissing, SynchParseExtra(cell).quietWhenMissing) << cell;
  }
  CSynchSettingsDlg dlg;
  const auto [answer, text] = Edit(dlg, "*[h]", [&] {
    Click(dlg, 1008);
    Click(dlg, IDOK);
  });
  EXPECT_EQ(text, "*");
  EXPECT_TRUE(SynchParseExtra(text).quietWhenMissing);
}

TEST(PufferSettingsDlg, HostAndRoomAndARoomThatIsNoNumberIsRefused) {
  CScriptedPrompter prompter;
  {
    CPufferSettingsDlg dlg;
    const auto [answer, text] = Edit(dlg, "h", [&] {
      EXPECT_EQ(Text(dlg, 1001), "h");
      EXPECT_EQ(Text(dlg, 1002), "");
      Click(dlg, IDOK);
    });
    EXPECT_EQ(text, "h:");
  }
  CPufferSettingsDlg dlg;
  const auto [answer, text] = Edit(dlg, "h:1000", [&] {
    EXPECT_EQ(Text(dlg, 1002), "1000");
    TypeInto(Item<QLineEdit>(dlg, 1001), "quelle");
    TypeInto(Item<QLineEdit>(dlg, 1002), "4 GB");
    Click(dlg, IDOK);
    EXPECT_TRUE(dlg.isVisible());
    TypeInto(Item<QLineEdit>(dlg, 1002), "0x100000000");
    Click(dlg, IDOK);
  });
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Die Größe des Zwischenpuffers ist keine Zahl !");
  const PufferCell cell = PufferSplitExtra(text);
  EXPECT_EQ(cell.host, "quelle");
  EXPECT_EQ(cell.room, 0x100000000u);
}

TEST(ShrinkSettingsDlg, TheSizeFormShowsThePairsAndWritesNewOnesSorted) {
  {
    CShrinkSettingsDlg dlg(true);
    const auto [answer, text] = Edit(dlg, "0,30,64,4;*[h];tmp", [&] {
      CTreeListCtrl& pairs = *dlg.ListCtrl(IDC_PAIR_LIST);
      EXPECT_EQ(Rows(pairs, 0), (Strings{"0  <DEL>", "64", ""}));
      EXPECT_EQ(Rows(pairs, 1), (Strings{"30", "4", ""}));
      EXPECT_FALSE(pairs.header()->isHidden());
      EXPECT_EQ(pairs.model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Größe der Datei in kB"));
      EXPECT_EQ(Item<QRadioButton>(dlg, 1008)->text(), QStringLiteral("Nur wenn die Quelle existiert"));
      EXPECT_EQ(Item<QLabel>(dlg, 1023)->text(),
                QStringLiteral("Anzahl der Kopien je Dateigröße (0=DEL nach X Tagen):"));
      EXPECT_EQ(Rows(*dlg.ListCtrl(IDC_FOLDER_LIST)), (Strings{"tmp", ""}));
      Click(dlg, IDOK);
    });
    EXPECT_EQ(text, "0,30,64,4;*[h];tmp");
  }
  {
    CShrinkSettingsDlg dlg(true);
    const auto [answer, text] = Edit(dlg, "64,4,256,2", [&] {
      CTreeListCtrl& pairs = *dlg.ListCtrl(IDC_PAIR_LIST);
      EditCell(pairs, 2, 0, "0");
      EXPECT_EQ(Rows(pairs, 0), (Strings{"64", "256", "0  <DEL>", ""}));
      EditCell(pairs, 2, 1, "20");
      EditCell(pairs, 3, 0, "16");
      EditCell(pairs, 3, 1, "6");
      Click(dlg, IDOK);
    });
    EXPECT_EQ(text, "0,20,16,6,64,4,256,2");
    const std::vector<KopiwartPair> expected = {{0, 20}, {16, 6}, {64, 4}, {256, 2}};
    EXPECT_EQ(KopiwartParseExtra(text).pairs, expected);
  }
  {
    // Pairs left as they were keep their order, and so what the worker makes of them.
    CShrinkSettingsDlg dlg(true);
    const auto [answer, text] = Edit(dlg, "0,30,256,3,64,4", [&] { Click(dlg, IDOK); });
    EXPECT_EQ(text, "0,30,256,3,64,4");
  }
  {
    // The thinning form: its own titles; a lone number stays alone.
    CShrinkSettingsDlg dlg(false);
    const auto [answer, text] = Edit(dlg, "5;x", [&] {
      CTreeListCtrl& pairs = *dlg.ListCtrl(IDC_PAIR_LIST);
      EXPECT_EQ(pairs.model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Raster für Dateien"));
      EXPECT_EQ(Item<QRadioButton>(dlg, 1008)->text(), QStringLiteral("Nur wenn das Ziel existiert"));
      EXPECT_EQ(Rows(pairs, 1), (Strings{"", ""}));
      Click(dlg, IDOK);
    });
    EXPECT_EQ(text, "5;x");
  }
}

TEST(ShrinkSettingsDlg, ACellThatIsNoNumberIsRefused) {
  CScriptedPrompter prompter;
  CShrinkSettingsDlg dlg(false);
  const auto [answer, text] = Edit(dlg, "7", [&] {
    EditCell(*dlg.ListCtrl(IDC_PAIR_LIST), 0, 1, "vier");
    Click(dlg, IDOK);
    EXPECT_TRUE(dlg.isVisible());
    Click(dlg, IDCANCEL);
  });
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "\"vier\" ist keine ganze Zahl !");
  EXPECT_EQ(answer, IDCANCEL);
  EXPECT_EQ(text, "7");
}

TEST(ZipSettingsDlg, TheFolderInsideTheArchiveAndTheExcludedFolders) {
  {
    CZipSettingsDlg dlg;
    const auto [answer, text] = Edit(dlg, ";a", [&] {
      EXPECT_EQ(Text(dlg, 1001), "");
      EXPECT_EQ(Rows(*dlg.ListCtrl(IDC_FOLDER_LIST)), (Strings{"a", ""}));
      EXPECT_FALSE(dlg.ListCtrl(IDC_FOLDER_LIST)->header()->isHidden());  // no folder-list setting here
      Click(dlg, IDOK);
    });
    EXPECT_EQ(text, ";a");
  }
  CScriptedPrompter prompter;
  CZipSettingsDlg dlg;
  const auto [answer, text] = Edit(dlg, "sub", [&] {
    EXPECT_EQ(Text(dlg, 1001), "sub");
    EXPECT_EQ(Rows(*dlg.ListCtrl(IDC_FOLDER_LIST)), Strings{""});
    TypeInto(Item<QLineEdit>(dlg, 1001), "Sicherung;2026");
    Click(dlg, IDOK);
    EXPECT_TRUE(dlg.isVisible());
    TypeInto(Item<QLineEdit>(dlg, 1001), "Sicherung\\2026");
    EditCell(*dlg.ListCtrl(IDC_FOLDER_LIST), 0, 0, "Tmp");
    Click(dlg, IDOK);
  });
  EXPECT_EQ(prompter.asked.size(), 1u);
  const ZipExtra extra = ZipSplitExtra(text);
  std::string folder;
  ASSERT_TRUE(ZipArchiveFolder(extra.folder, folder));
  EXPECT_EQ(folder, "Sicherung/2026");
  EXPECT_EQ(extra.excluded, "Tmp");
}

TEST(SubdirSettingsDlg, EditsALongFilterWholeAndRefusesAResultPastTheCellLimit) {
  CScriptedPrompter prompter;
  std::string filter;
  for (int i = 0; filter.size() < 480; ++i) filter += (filter.empty() ? "" : ";") + std::string("*.e") + std::to_string(i);
  CSubdirSettingsDlg dlg;
  dlg.m_caption = "Minusfilter";
  dlg.m_label = "Welche Dateien sollen ignoriert werden :";
  const auto [answer, text] = Edit(dlg, filter, [&] {
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Minusfilter"));
    EXPECT_EQ(Text(dlg, 1035), "Welche Dateien sollen ignoriert werden :");
    CTreeListCtrl& list = *dlg.ListCtrl(IDC_FOLDER_LIST);
    const int last = list.Store().GetRowCount() - 1;
    EditCell(list, last, 0, "*.tmp");
    Click(dlg, IDOK);
  });
  EXPECT_EQ(text, filter + ";*.tmp");
  EXPECT_TRUE(prompter.asked.empty());

  // 1,280 characters and a line more: refused, never cut; Cancel leaves the cell.
  const std::string full(1280, 'x');
  CSubdirSettingsDlg more;
  const auto [answer2, text2] = Edit(more, full, [&] {
    EXPECT_EQ(Text(more, 1035), "Unterverzeichnisse die nicht kopiert werden sollen: (mit / * ?)");
    EditCell(*more.ListCtrl(IDC_FOLDER_LIST), 1, 0, "abc");
    Click(more, IDOK);
    EXPECT_TRUE(more.isVisible());
    Click(more, IDCANCEL);
  });
  ASSERT_EQ(prompter.asked.size(), 1u);
  EXPECT_EQ(prompter.asked[0].text, "Die Einstellungen sind 1284 Zeichen lang; ein Feld fasst höchstens 1283 Zeichen !");
  EXPECT_EQ(answer2, IDCANCEL);
  EXPECT_EQ(text2, full);
}

TEST(SubdirSettingsDlg, GrowsItsListMovesItsButtonsAndIsNeverSmallerThanFirstLaidOut) {
  CDialogPlaces places;
  QSize first, grown;
  {
    CSubdirSettingsDlg dlg(nullptr, &places);
    Edit(dlg, "a", [&] {
      first = dlg.size();
      EXPECT_EQ(dlg.minimumSize(), first);
      QWidget* list = dlg.ListCtrl(IDC_FOLDER_LIST);
      QWidget* ok = dlg.GetDlgItem(IDOK);
      const QRect listBefore = list->geometry(), okBefore = ok->geometry();
      dlg.resize(first + QSize(200, 120));
      QTest::qWait(1);
      dlg.layout()->activate();
      EXPECT_EQ(list->width(), listBefore.width() + 200);
      EXPECT_EQ(list->height(), listBefore.height() + 120);
      EXPECT_EQ(ok->geometry().topLeft(), okBefore.topLeft() + QPoint(200, 120));
      EXPECT_EQ(ok->size(), okBefore.size());
      grown = dlg.size();
      dlg.resize(first - QSize(50, 50));
      EXPECT_EQ(dlg.size(), first);
      dlg.resize(grown);
      Click(dlg, IDCANCEL);
    });
  }
  // Opened again: its place and its size come back, its smallest size stays.
  CSubdirSettingsDlg again(nullptr, &places);
  Edit(again, "a", [&] {
    EXPECT_EQ(again.size(), grown);
    EXPECT_EQ(again.minimumSize(), first);
    Click(again, IDCANCEL);
  });
}

}  // namespace
