// Driving a modal dialog from inside its own loop: its controls by id, in-place edits of its lists.
#pragma once

#include "controls/gui/treelist_ctrl.h"
#include "platform/gui/dialog.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <string>

namespace kpwdlg {

// Runs the dialog modally; act runs inside its loop and ends it (OK, Cancel). A dialog that act
// leaves open is closed with 99 after ten seconds, so that a failed case cannot hang.
inline INT_PTR RunModal(CDialog& dialog, std::function<void()> act) {
  QTimer::singleShot(0, &dialog, [act = std::move(act)] { act(); });
  QTimer::singleShot(10000, &dialog, [&dialog] {
    ADD_FAILURE() << "the dialog was left open";
    dialog.done(99);
  });
  return dialog.DoModal();
}

template <class T>
T* Item(const CDialog& dialog, int id) {
  T* control = qobject_cast<T*>(dialog.GetDlgItem(id));
  EXPECT_NE(control, nullptr) << "control " << id;
  return control;
}

inline void Click(const CDialog& dialog, int id) {
  if (auto* button = qobject_cast<QAbstractButton*>(dialog.GetDlgItem(id))) button->click();
}

inline std::string Text(const CDialog& dialog, int id) { return dialog.GetDlgItemText(id); }

// Types into an edit field as a keyboard would, after selecting what it holds.
inline void TypeInto(QLineEdit* edit, const QString& text) {
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  for (const QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(edit, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(edit, &release);
  }
}

// F2 on a cell of the list, the editor's text replaced, Enter: the end of an in-place edit.
inline void EditCell(CTreeListCtrl& list, int row, int column, const QString& text) {
  CTreeListStore& store = list.Store();
  store.SelectSubItem(column, store.GetItemOfRow(row));
  list.Sync();
  list.setFocus();
  QTest::keyClick(&list, Qt::Key_F2);
  auto* edit = qobject_cast<QLineEdit*>(list.Editor());
  ASSERT_NE(edit, nullptr) << "no editor on row " << row;
  TypeInto(edit, text);
  QTest::keyClick(edit, Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return list.Editor() == nullptr; }, 5000));
  list.Sync();
}

inline std::vector<std::string> Rows(const CTreeListCtrl& list, int column = 0) {
  std::vector<std::string> rows;
  for (HTREEITEM item : list.Store().GetRowItems()) rows.push_back(list.Store().GetItemText(item, column));
  return rows;
}

}  // namespace kpwdlg
