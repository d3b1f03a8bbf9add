// CPaneWnd: the path bar, hidden parts and drags that the browser panes share.
#include "panes/gui/pane_wnd.h"

#include "panes/pane_settings.h"

#include <QDrag>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <QVBoxLayout>

#include <map>

namespace {

// The live panes by the id their drags carry; main thread only.
std::map<std::uint64_t, CPaneWnd*>& LivePanes() {
  static std::map<std::uint64_t, CPaneWnd*> panes;
  return panes;
}
std::uint64_t g_nextPaneId = 1;

}  // namespace

CPaneWnd::CPaneWnd(QWidget* parent) : QWidget(parent), m_paneId(g_nextPaneId++) {
  LivePanes()[m_paneId] = this;
  m_layout = new QVBoxLayout(this);
  m_layout->setContentsMargins(0, 0, 0, 0);
  m_layout->setSpacing(2);
  m_bar = new QLineEdit(this);
  m_layout->addWidget(m_bar);
  connect(m_bar, &QLineEdit::returnPressed, this, [this] { OnPathBarEntered(m_bar->text().toStdString()); });
}

CPaneWnd::~CPaneWnd() { LivePanes().erase(m_paneId); }

BOOL CPaneWnd::Create(DWORD style, const QRect& rect, QWidget* parent, UINT id) {
  if (!parent) return FALSE;
  setParent(parent);
  setGeometry(rect);
  m_style = style;
  m_id = id;
  show();
  return TRUE;
}

void CPaneWnd::SetContent(QWidget* content) {
  m_content = content;
  m_layout->addWidget(content, 1);
}

void CPaneWnd::SetStyle(DWORD value, DWORD mask) {
  m_hidden = (m_hidden & ~mask) | (value & mask);
  m_bar->setVisible(!(m_hidden & kPaneHidePathBar));
}

void CPaneWnd::FocusPane(int part) {
  if (part == 0 && !m_bar->isHidden()) {
    m_bar->setFocus(Qt::TabFocusReason);
  } else if (m_content) {
    m_content->setFocus(Qt::TabFocusReason);
  }
}

void CPaneWnd::SetBarText(const std::string& text) {
  m_bar->setText(QString::fromStdString(text));
  m_bar->setCursorPosition(0);
}

QMimeData* CPaneWnd::MakeDragMime(const std::vector<std::string>& texts, int kind) const {
  auto* mime = new QMimeData;
  const std::string bytes = PaneDragBytes({m_paneId, kind, texts});
  mime->setData(kDragMime, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
  QStringList lines;
  QList<QUrl> urls;
  for (const std::string& text : texts) {
    lines << QString::fromStdString(text);
    if (kind == kPaneDragFiles) urls << QUrl::fromLocalFile(QString::fromStdString(text));
  }
  if (!urls.isEmpty()) mime->setUrls(urls);
  mime->setText(lines.join('\n'));
  return mime;
}

CPaneWnd* CPaneWnd::DragSource(const QMimeData* mime, PaneDragData* data) {
  if (!mime || !mime->hasFormat(kDragMime)) return nullptr;
  const QByteArray bytes = mime->data(kDragMime);
  std::optional<PaneDragData> parsed = ParsePaneDragBytes(std::string_view(bytes.constData(), bytes.size()));
  if (!parsed) return nullptr;
  const auto it = LivePanes().find(parsed->paneId);
  if (it == LivePanes().end()) return nullptr;
  if (data) *data = std::move(*parsed);
  return it->second;
}

int CPaneWnd::DragOverAt(const QMimeData* mime, const QPoint& global, u32 keyState) const {
  PaneDragData data;
  if (DragSource(mime, &data) != this) return PANE_DROPEFFECT_NONE;
  return m_target.DragOver(global.x(), global.y(), keyState, static_cast<int>(data.texts.size()));
}

bool CPaneWnd::DropAt(const QMimeData* mime, const QPoint& global, u32 keyState) const {
  PaneDragData data;
  if (DragSource(mime, &data) != this) return false;
  return m_target.Drop(global.x(), global.y(), keyState, data.texts, data.kind);
}

u32 CPaneWnd::DragKeyState(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons) {
  u32 state = 0;
  if (buttons & Qt::LeftButton) state |= PANE_MK_LBUTTON;
  if (buttons & Qt::RightButton) state |= PANE_MK_RBUTTON;
  if (mods & Qt::ShiftModifier) state |= PANE_MK_SHIFT;
  if (mods & Qt::ControlModifier) state |= PANE_MK_CONTROL;
  return state;
}

Qt::DropAction CPaneWnd::DropActionOf(int effect) {
  switch (effect) {
    case PANE_DROPEFFECT_COPY: return Qt::CopyAction;
    case PANE_DROPEFFECT_MOVE: return Qt::LinkAction;
    default: return Qt::IgnoreAction;
  }
}

void CPaneWnd::StartDrag(const std::vector<std::string>& texts, int kind) {
  if (texts.empty()) return;
  QDrag drag(this);  // owns the mime data
  drag.setMimeData(MakeDragMime(texts, kind));
  drag.exec(Qt::CopyAction | Qt::LinkAction, Qt::CopyAction);
}
