// The six special-settings dialogs: each edits the extra cell of a row (or a filter cell) in its own form.
#pragma once

#include "app/settings_list.h"
#include "app/view_commands.h"
#include "controls/gui/treelist_owner.h"
#include "platform/gui/dialog.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class CDialogPlaces;
class CTreeListCtrl;
class QBoxLayout;
class QGridLayout;
class QLabel;

// Control ids, also the keys under which tests find the controls (GetDlgItem).
enum : int {
  IDC_SETTINGS_EDIT1 = 1001,       // host; "Puffer": host; zip: the folder inside the archive
  IDC_SETTINGS_EDIT2 = 1002,       // "Puffer": the buffer's room
  IDC_WHEN_ALWAYS = 1007,          // the radio group "Wann ausführen", 1007-1009
  IDC_WHEN_TARGET = 1008,
  IDC_WHEN_HOST = 1009,
  IDC_PAIRS_LABEL = 1023,          // the label above the pair list
  IDC_LIST_LABEL = 1035,           // the label above the folder list
  IDC_FOLDER_LIST = 22951,         // the folder list (in place of 1031, or 1033 in the pair dialog)
  IDC_PAIR_LIST = 22952,           // the pair list (in place of 1032)
};

// One list of a dialog: its store, its line rules and the widget over them.
struct CSettingsListPart {
  explicit CSettingsListPart(CSettingsList::Kind kind);
  ~CSettingsListPart();
  CTreeListStore store;
  CSettingsList list;
  std::unique_ptr<ITreeListCtrlOwner> owner;
  std::unique_ptr<CTreeListCtrl> ctrl;  // a child of the dialog, gone before the store
};

// What every special-settings dialog shares: the title, OK and Cancel, the cell it edits, its
// lists, the checks before a text is written, and its place on the screen.
class CSettingsDlg : public CDialog {
 public:
  ~CSettingsDlg() override;
  // The cell: read when the dialog opens; written only when DoModal answers IDOK.
  void SetText(std::string* text) { m_pText = text; }
  // The list of a control id (IDC_FOLDER_LIST, IDC_PAIR_LIST), or null.
  CTreeListCtrl* ListCtrl(int id) const;
  CSettingsList* List(int id) const;
  const std::string& ClassName() const { return m_className; }

 protected:
  CSettingsDlg(QWidget* parent, std::string className, CDialogPlaces* places);

  // The form's text into the fields and lists, and back.
  virtual void ReadText(const std::string& text) = 0;
  virtual std::string WriteText() = 0;
  // A German refusal of what the fields hold, or nothing.
  virtual std::optional<std::string> Refusal() { return std::nullopt; }
  // Whether the dialog remembers its size with its place.
  virtual bool KeepsSize() const { return false; }

  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void keyPressEvent(QKeyEvent* e) override;
  // Return on a list line that is not edited presses OK; a click below a list's lines starts
  // its new line.
  bool eventFilter(QObject* object, QEvent* event) override;

  // Building the controls (in the constructors).
  QBoxLayout* Body() const { return m_body; }
  QLabel* AddLabel(QBoxLayout* layout, int id, const char* text);
  // The radio group "Wann ausführen" with the host edit; radio clicks re-run the exchange.
  void AddWhenGroup(QBoxLayout* layout, const char* targetText);
  // A list in place of the placeholder placeId, known as listId.
  CSettingsListPart& AddList(QBoxLayout* layout, CSettingsList::Kind kind, int placeId, int listId);
  // The exchange of the when group; enables the host edit while "Nur am Host" is chosen.
  void ExchangeWhen(CDataExchange* pDX);
  void AddButtons(QBoxLayout* layout);

  std::string* m_pText = nullptr;
  std::string m_original;  // the cell as it was opened
  int m_when = 0;
  std::string m_host;
  std::string m_hostRead;  // the host as it was opened

 private:
  std::string m_className;
  CDialogPlaces* m_places;
  QBoxLayout* m_body = nullptr;
  std::vector<std::pair<int, std::unique_ptr<CSettingsListPart>>> m_lists;
};

// The excluded folders of "Ftp", "Ftp Del", "Update" and of unpacking, and the filter editor:
// one list, the lines joined by ";". Resizable; it remembers its size too.
class CSubdirSettingsDlg : public CSettingsDlg {
 public:
  explicit CSubdirSettingsDlg(QWidget* parent = nullptr, CDialogPlaces* places = nullptr);
  // Optional: a caption instead of the title, a label instead of the list's.
  std::string m_caption;
  std::string m_label;

 protected:
  BOOL OnInitDialog() override;
  void ReadText(const std::string& text) override;
  std::string WriteText() override;
  bool KeepsSize() const override { return true; }
};

// "Copy", "Copy Del", "Copy File" (and "Zip"/"Zip Add" beside no archive): when and excluded folders.
class CCopySettingsDlg : public CSettingsDlg {
 public:
  explicit CCopySettingsDlg(QWidget* parent = nullptr, CDialogPlaces* places = nullptr);

 protected:
  void DoDataExchange(CDataExchange* pDX) override { ExchangeWhen(pDX); }
  void ReadText(const std::string& text) override;
  std::string WriteText() override;
  std::optional<std::string> Refusal() override;
};

// "Synch": only when.
class CSynchSettingsDlg : public CSettingsDlg {
 public:
  explicit CSynchSettingsDlg(QWidget* parent = nullptr, CDialogPlaces* places = nullptr);

 protected:
  void DoDataExchange(CDataExchange* pDX) override { ExchangeWhen(pDX); }
  void ReadText(const std::string& text) override;
  std::string WriteText() override;
  std::optional<std::string> Refusal() override;

 private:
  bool m_quietWhenMissing = false;
};

// "Puffer": the source host and the buffer's room.
class CPufferSettingsDlg : public CSettingsDlg {
 public:
  explicit CPufferSettingsDlg(QWidget* parent = nullptr, CDialogPlaces* places = nullptr);

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  void ReadText(const std::string& text) override;
  std::string WriteText() override;
  std::optional<std::string> Refusal() override;

 private:
  std::string m_size;
  std::string m_sizeRead;
};

// "Shrink" (thinning form) and "Kopiwart" (size form): the number pairs, when, excluded folders.
class CShrinkSettingsDlg : public CSettingsDlg {
 public:
  CShrinkSettingsDlg(bool sizeForm, QWidget* parent = nullptr, CDialogPlaces* places = nullptr);
  bool SizeForm() const { return m_sizeForm; }

 protected:
  void DoDataExchange(CDataExchange* pDX) override { ExchangeWhen(pDX); }
  void ReadText(const std::string& text) override;
  std::string WriteText() override;
  std::optional<std::string> Refusal() override;

 private:
  bool m_sizeForm;
};

// "Zip"/"Zip Add" into an archive: the folder inside it and the excluded folders.
class CZipSettingsDlg : public CSettingsDlg {
 public:
  explicit CZipSettingsDlg(QWidget* parent = nullptr, CDialogPlaces* places = nullptr);

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  void ReadText(const std::string& text) override;
  std::string WriteText() override;
  std::optional<std::string> Refusal() override;

 private:
  std::string m_subfolder;
  std::string m_subfolderRead;
};

// The dialog of a kind (SpecialSettingsDialog), or null for none.
std::unique_ptr<CSettingsDlg> MakeSettingsDialog(kpw::view::SettingsDialog kind, QWidget* parent,
                                                 CDialogPlaces* places);
