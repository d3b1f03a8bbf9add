// The special-settings dialogs built in code: controls by id, the forms of their texts, lists and places.
#include "app/gui/settings_dlg.h"

#include "app/dialog_texts.h"
#include "app/gui/dialog_places.h"
#include "app/settings_forms.h"
#include "controls/gui/treelist_ctrl.h"
#include "jobs/job_model.h"
#include "platform/gui/gui_texts.h"
#include "platform/gui/message_box.h"

#include <QBoxLayout>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>

namespace {

using kpw::settings::PairLine;

constexpr DWORD kFolderListStyle = 0x50019008;
constexpr DWORD kPlainListStyle = 0x50011008;  // the pair list and the zip dialog's folder list
constexpr int kListWidth = 320;
constexpr int kListHeight = 140;

// Forwards the end of an in-place edit to the list's rules.
class ListOwner : public ITreeListCtrlOwner {
 public:
  explicit ListOwner(CSettingsList& list) : m_list(list) {}
  int OnEndLabelEdit(TLNENDEDIT& rec) override { return m_list.OnEndLabelEdit(rec); }

 private:
  CSettingsList& m_list;
};

QLineEdit* AddEdit(CDialog& dialog, int id, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  LimitText(edit, kJobCellMaxChars);
  dialog.SetDlgItem(id, edit);
  return edit;
}

}  // namespace

CSettingsListPart::CSettingsListPart(CSettingsList::Kind kind) : list(store, kind), owner(std::make_unique<ListOwner>(list)) {
  store.SetSetting(TLSETTING_EDITLIMIT, kJobCellMaxChars);
}

CSettingsListPart::~CSettingsListPart() {
  ctrl.reset();  // the widget reads the store to the end
  store.SetOwner(nullptr);
}

// ---- CSettingsDlg

CSettingsDlg::CSettingsDlg(QWidget* parent, std::string className, CDialogPlaces* places)
    : CDialog(parent), m_className(std::move(className)), m_places(places) {
  setWindowTitle(QString::fromUtf8(kpw::texts::kSettingsCaption));
  m_body = new QVBoxLayout(this);
}

CSettingsDlg::~CSettingsDlg() {
  // The lists go with the members, after this body: they report to the dialog no more.
  for (const auto& entry : m_lists) {
    if (!entry.second || !entry.second->ctrl) continue;
    entry.second->ctrl->removeEventFilter(this);
    entry.second->ctrl->viewport()->removeEventFilter(this);
  }
}

QLabel* CSettingsDlg::AddLabel(QBoxLayout* layout, int id, const char* text) {
  auto* label = new QLabel(QString::fromUtf8(text), this);
  SetDlgItem(id, label);
  layout->addWidget(label);
  return label;
}

void CSettingsDlg::AddWhenGroup(QBoxLayout* layout, const char* targetText) {
  auto* group = new QGroupBox(QString::fromUtf8(kpw::texts::kWhenGroup), this);
  auto* rows = new QVBoxLayout(group);
  const char* texts[] = {kpw::texts::kWhenAlways, targetText, kpw::texts::kWhenHost};
  QHBoxLayout* hostRow = nullptr;
  for (int i = 0; i < 3; ++i) {
    auto* radio = new QRadioButton(QString::fromUtf8(texts[i]), group);
    SetDlgItem(IDC_WHEN_ALWAYS + i, radio);
    connect(radio, &QRadioButton::clicked, this, [this] { UpdateData(TRUE); });
    if (i < 2) {
      rows->addWidget(radio);
      continue;
    }
    hostRow = new QHBoxLayout;
    hostRow->addWidget(radio);
    hostRow->addWidget(AddEdit(*this, IDC_SETTINGS_EDIT1, group), 1);
    rows->addLayout(hostRow);
  }
  layout->addWidget(group);
}

void CSettingsDlg::ExchangeWhen(CDataExchange* pDX) {
  DDX_Radio(pDX, IDC_WHEN_ALWAYS, m_when);
  DDX_Text(pDX, IDC_SETTINGS_EDIT1, m_host);
  if (QWidget* host = GetDlgItem(IDC_SETTINGS_EDIT1)) host->setEnabled(m_when == EXTRA_WHEN_HOST);
}

CSettingsListPart& CSettingsDlg::AddList(QBoxLayout* layout, CSettingsList::Kind kind, int placeId, int listId) {
  auto* place = new QFrame(this);
  place->setProperty(kCtrlIdProperty, placeId);
  place->setMinimumSize(kListWidth, kListHeight);
  layout->addWidget(place, 1);
  auto part = std::make_unique<CSettingsListPart>(kind);
  part->ctrl = std::make_unique<CTreeListCtrl>(part->store);
  const DWORD style = kind == CSettingsList::FOLDERS ? kFolderListStyle : kPlainListStyle;
  part->ctrl->CreateFromDlgItem(TL_WS_EX_CLIENTEDGE, style, placeId, this, listId);
  part->ctrl->setMinimumSize(place->minimumSize());
  part->ctrl->SetOwner(part->owner.get());
  part->ctrl->installEventFilter(this);
  part->ctrl->viewport()->installEventFilter(this);
  SetDlgItem(listId, part->ctrl.get());
  m_lists.emplace_back(listId, std::move(part));
  return *m_lists.back().second;
}

void CSettingsDlg::AddButtons(QBoxLayout* layout) {
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  auto* ok = new QPushButton(QString::fromUtf8(gui_text::kOk), this);
  auto* cancel = new QPushButton(QString::fromUtf8(gui_text::kCancel), this);
  ok->setDefault(true);
  SetDlgItem(IDOK, ok);
  SetDlgItem(IDCANCEL, cancel);
  connect(ok, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
  row->addWidget(ok);
  row->addWidget(cancel);
  layout->addLayout(row);
}

CTreeListCtrl* CSettingsDlg::ListCtrl(int id) const {
  for (const auto& [listId, part] : m_lists)
    if (listId == id) return part->ctrl.get();
  return nullptr;
}

CSettingsList* CSettingsDlg::List(int id) const {
  for (const auto& [listId, part] : m_lists)
    if (listId == id) return &part->list;
  return nullptr;
}

BOOL CSettingsDlg::OnInitDialog() {
  m_original = m_pText ? *m_pText : std::string();
  ReadText(m_original);
  m_hostRead = m_host;
  UpdateData(FALSE);
  for (const auto& entry : m_lists) entry.second->ctrl->Sync();
  if (!KeepsSize()) layout()->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
  if (KeepsSize()) setMinimumSize(size());  // never smaller than first laid out
  if (m_places) m_places->Restore(m_className, *this, KeepsSize());
  return TRUE;
}

void CSettingsDlg::OnOK() {
  if (!UpdateData(TRUE)) return;
  const std::string text = WriteText();
  std::optional<std::string> refusal = Refusal();
  if (!refusal) refusal = kpw::settings::CheckCellLength(text, m_original);
  if (refusal) {
    KpwMessageBox(this, *refusal, "", MB_OK | MB_ICONEXCLAMATION);
    return;  // nothing is cut: the dialog stays open
  }
  if (m_pText) *m_pText = text;
  if (m_places) m_places->Save(m_className, *this);
  EndDialog(IDOK);
}

void CSettingsDlg::OnCancel() {
  if (m_places) m_places->Save(m_className, *this);
  EndDialog(IDCANCEL);
}

bool CSettingsDlg::eventFilter(QObject* object, QEvent* event) {
  for (const auto& entry : m_lists) {
    if (!entry.second || !entry.second->ctrl) continue;
    CTreeListCtrl& ctrl = *entry.second->ctrl;
    if (ctrl.Editor()) continue;
    if (object == &ctrl && event->type() == QEvent::KeyPress) {
      // Return on a line that is not being edited is the dialog's: it presses OK.
      const auto* key = static_cast<QKeyEvent*>(event);
      if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
          !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier))) {
        OnOK();
        return true;
      }
    }
    if (object == ctrl.viewport() && event->type() == QEvent::MouseButtonPress) {
      // A click on the room below the lines starts the new line at the end.
      const auto* mouse = static_cast<QMouseEvent*>(event);
      const QPoint pos = mouse->position().toPoint();
      CTreeListStore& store = entry.second->store;
      const int rows = store.GetRowCount();
      if (mouse->button() == Qt::LeftButton && rows > 0 && !ctrl.indexAt(pos).isValid()) {
        const QModelIndex last = ctrl.Model().IndexOf(store.GetItemOfRow(rows - 1), 0);
        if (last.isValid() && pos.y() > ctrl.visualRect(last).bottom()) {
          ctrl.setFocus(Qt::MouseFocusReason);
          store.SelectFocus(store.GetItemOfRow(rows - 1));
          store.EditLabel(store.GetItemOfRow(rows - 1), 0);
          ctrl.Sync();
          return true;
        }
      }
    }
  }
  return CDialog::eventFilter(object, event);
}

void CSettingsDlg::keyPressEvent(QKeyEvent* e) {
  // Enter and Esc that end an in-place edit end only the edit, never the dialog.
  const int key = e->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
    for (const auto& entry : m_lists) {
      if (entry.second->ctrl->Editor()) {
        e->accept();
        return;
      }
    }
  }
  CDialog::keyPressEvent(e);
}

// ---- CSubdirSettingsDlg

CSubdirSettingsDlg::CSubdirSettingsDlg(QWidget* parent, CDialogPlaces* places)
    : CSettingsDlg(parent, "CSubdirSettingsDlg", places) {
  AddLabel(Body(), IDC_LIST_LABEL, kpw::texts::kExcludedFoldersLabel);
  AddList(Body(), CSettingsList::FOLDERS, 1031, IDC_FOLDER_LIST);
  AddButtons(Body());
  setSizeGripEnabled(true);
}

BOOL CSubdirSettingsDlg::OnInitDialog() {
  if (!m_caption.empty()) setWindowTitle(QString::fromStdString(m_caption));
  if (!m_label.empty()) SetDlgItemText(IDC_LIST_LABEL, m_label);
  return CSettingsDlg::OnInitDialog();
}

void CSubdirSettingsDlg::ReadText(const std::string& text) {
  List(IDC_FOLDER_LIST)->SetLines(kpw::settings::ReadListForm(text));
}

std::string CSubdirSettingsDlg::WriteText() {
  return kpw::settings::WriteListForm(List(IDC_FOLDER_LIST)->Lines());
}

// ---- CCopySettingsDlg

CCopySettingsDlg::CCopySettingsDlg(QWidget* parent, CDialogPlaces* places)
    : CSettingsDlg(parent, "CCopySettingsDlg", places) {
  AddWhenGroup(Body(), kpw::texts::kWhenTargetExists);
  AddLabel(Body(), IDC_LIST_LABEL, kpw::texts::kExcludedFoldersLabel);
  AddList(Body(), CSettingsList::FOLDERS, 1031, IDC_FOLDER_LIST);
  AddButtons(Body());
}

void CCopySettingsDlg::ReadText(const std::string& text) {
  const kpw::settings::CopyForm form = kpw::settings::ReadCopyForm(text);
  m_when = form.when;
  m_host = form.host;
  List(IDC_FOLDER_LIST)->SetLines(form.folders);
}

std::string CCopySettingsDlg::WriteText() {
  return kpw::settings::WriteCopyForm({m_when, m_host, List(IDC_FOLDER_LIST)->Lines()});
}

std::optional<std::string> CCopySettingsDlg::Refusal() {
  if (m_when != EXTRA_WHEN_HOST) return std::nullopt;
  return kpw::settings::CheckChars(m_host, ";]", m_hostRead);
}

// ---- CSynchSettingsDlg

CSynchSettingsDlg::CSynchSettingsDlg(QWidget* parent, CDialogPlaces* places)
    : CSettingsDlg(parent, "CSynchSettingsDlg", places) {
  AddWhenGroup(Body(), kpw::texts::kWhenTargetExists);
  AddButtons(Body());
}

void CSynchSettingsDlg::ReadText(const std::string& text) {
  const kpw::settings::SynchForm form = kpw::settings::ReadSynchForm(text);
  m_when = form.when;
  m_host = form.host;
  m_quietWhenMissing = form.quietWhenMissing;
}

std::string CSynchSettingsDlg::WriteText() {
  return kpw::settings::WriteSynchForm({m_when, m_host, m_quietWhenMissing});
}

std::optional<std::string> CSynchSettingsDlg::Refusal() {
  if (m_when != EXTRA_WHEN_HOST) return std::nullopt;
  return kpw::settings::CheckChars(m_host, ";]", m_hostRead);
}

// ---- CPufferSettingsDlg

CPufferSettingsDlg::CPufferSettingsDlg(QWidget* parent, CDialogPlaces* places)
    : CSettingsDlg(parent, "CPufferSettingsDlg", places) {
  auto* grid = new QGridLayout;
  const char* labels[] = {kpw::texts::kPufferHostLabel, kpw::texts::kPufferSizeLabel};
  for (int i = 0; i < 2; ++i) {
    grid->addWidget(new QLabel(QString::fromUtf8(labels[i]), this), i, 0);
    QLineEdit* edit = AddEdit(*this, IDC_SETTINGS_EDIT1 + i, this);
    edit->setMinimumWidth(kListWidth / 2);
    grid->addWidget(edit, i, 1);
  }
  Body()->addLayout(grid);
  AddButtons(Body());
}

void CPufferSettingsDlg::DoDataExchange(CDataExchange* pDX) {
  DDX_Text(pDX, IDC_SETTINGS_EDIT1, m_host);
  DDX_Text(pDX, IDC_SETTINGS_EDIT2, m_size);
}

void CPufferSettingsDlg::ReadText(const std::string& text) {
  const kpw::settings::PufferForm form = kpw::settings::ReadPufferForm(text);
  m_host = form.host;
  m_size = m_sizeRead = form.size;
}

std::string CPufferSettingsDlg::WriteText() { return kpw::settings::WritePufferForm({m_host, m_size}); }

std::optional<std::string> CPufferSettingsDlg::Refusal() {
  if (auto refusal = kpw::settings::CheckChars(m_host, ":", m_hostRead)) return refusal;
  return kpw::settings::CheckRoom(m_size, m_sizeRead);
}

// ---- CShrinkSettingsDlg

CShrinkSettingsDlg::CShrinkSettingsDlg(bool sizeForm, QWidget* parent, CDialogPlaces* places)
    : CSettingsDlg(parent, "CShrinkSettingsDlg", places), m_sizeForm(sizeForm) {
  AddLabel(Body(), IDC_PAIRS_LABEL, sizeForm ? kpw::texts::kSizesLabel : kpw::texts::kThinningLabel);
  AddList(Body(), sizeForm ? CSettingsList::SIZE_PAIRS : CSettingsList::THINNING_PAIRS, 1032, IDC_PAIR_LIST);
  AddWhenGroup(Body(), sizeForm ? kpw::texts::kWhenSourceExists : kpw::texts::kWhenTargetExists);
  AddLabel(Body(), IDC_LIST_LABEL, kpw::texts::kExcludedFoldersLabel);
  AddList(Body(), CSettingsList::FOLDERS, 1033, IDC_FOLDER_LIST);
  AddButtons(Body());
}

void CShrinkSettingsDlg::ReadText(const std::string& text) {
  const kpw::settings::ShrinkForm form = kpw::settings::ReadShrinkForm(text, m_sizeForm);
  m_when = form.when;
  m_host = form.host;
  List(IDC_PAIR_LIST)->SetPairs(form.pairs);
  List(IDC_FOLDER_LIST)->SetLines(form.folders);
}

std::string CShrinkSettingsDlg::WriteText() {
  CSettingsList& pairs = *List(IDC_PAIR_LIST);
  // Pairs as the user entered them are written in order; untouched ones keep theirs, and so
  // their meaning.
  if (pairs.Edited()) pairs.SortByNumber();
  return kpw::settings::WriteShrinkForm({pairs.Pairs(), m_when, m_host, List(IDC_FOLDER_LIST)->Lines()});
}

std::optional<std::string> CShrinkSettingsDlg::Refusal() {
  for (const PairLine& line : List(IDC_PAIR_LIST)->Pairs()) {
    if (auto refusal = kpw::settings::CheckPairCell(line.first)) return refusal;
    if (auto refusal = kpw::settings::CheckPairCell(line.second)) return refusal;
  }
  if (m_when != EXTRA_WHEN_HOST) return std::nullopt;
  return kpw::settings::CheckChars(m_host, ";]", m_hostRead);
}

// ---- CZipSettingsDlg

CZipSettingsDlg::CZipSettingsDlg(QWidget* parent, CDialogPlaces* places)
    : CSettingsDlg(parent, "CZipSettingsDlg", places) {
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QString::fromUtf8(kpw::texts::kZipFolderLabel), this));
  row->addWidget(AddEdit(*this, IDC_SETTINGS_EDIT1, this), 1);
  Body()->addLayout(row);
  AddLabel(Body(), IDC_LIST_LABEL, kpw::texts::kExcludedFoldersLabel);
  AddList(Body(), CSettingsList::ARCHIVE_FOLDERS, 1031, IDC_FOLDER_LIST);
  AddButtons(Body());
}

void CZipSettingsDlg::DoDataExchange(CDataExchange* pDX) { DDX_Text(pDX, IDC_SETTINGS_EDIT1, m_subfolder); }

void CZipSettingsDlg::ReadText(const std::string& text) {
  const kpw::settings::ZipForm form = kpw::settings::ReadZipForm(text);
  m_subfolder = m_subfolderRead = form.subfolder;
  List(IDC_FOLDER_LIST)->SetLines(form.folders);
}

std::string CZipSettingsDlg::WriteText() {
  return kpw::settings::WriteZipForm({m_subfolder, List(IDC_FOLDER_LIST)->Lines()});
}

std::optional<std::string> CZipSettingsDlg::Refusal() {
  return kpw::settings::CheckChars(m_subfolder, ";", m_subfolderRead);
}

std::unique_ptr<CSettingsDlg> MakeSettingsDialog(kpw::view::SettingsDialog kind, QWidget* parent,
                                                 CDialogPlaces* places) {
  using kpw::view::SettingsDialog;
  switch (kind) {
    case SettingsDialog::Copy: return std::make_unique<CCopySettingsDlg>(parent, places);
    case SettingsDialog::Subdir: return std::make_unique<CSubdirSettingsDlg>(parent, places);
    case SettingsDialog::Zip: return std::make_unique<CZipSettingsDlg>(parent, places);
    case SettingsDialog::Synch: return std::make_unique<CSynchSettingsDlg>(parent, places);
    case SettingsDialog::Puffer: return std::make_unique<CPufferSettingsDlg>(parent, places);
    case SettingsDialog::ShrinkThinning: return std::make_unique<CShrinkSettingsDlg>(false, parent, places);
    case SettingsDialog::ShrinkSize: return std::make_unique<CShrinkSettingsDlg>(true, parent, places);
    case SettingsDialog::None: break;
  }
  return nullptr;
}
