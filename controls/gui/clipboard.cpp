// ClipSetText: text onto the system clipboard.
#include "controls/gui/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

#include <cstring>

BOOL ClipSetText(const char* text, int length) {
  if (!text || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return FALSE;
  const qsizetype n = length < 0 ? static_cast<qsizetype>(std::strlen(text)) : length;
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) return FALSE;
  clipboard->setText(QString::fromUtf8(text, n));
  return TRUE;
}
