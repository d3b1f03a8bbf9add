// The application's small boxes over Qt Widgets.
#include "app/gui/app_dialogs.h"

#include "app/app_texts.h"
#include "app/gui/info_dlg.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

namespace {

QString Text(const char* text) {
  return QString::fromUtf8(text);
}

std::unique_ptr<QDialog> MakeBox(QWidget* parent, const char* caption) {
  auto dialog = std::make_unique<QDialog>(parent);
  dialog->setWindowTitle(Text(caption));
  return dialog;
}

void AddOk(QDialog& dialog, QBoxLayout& layout) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  layout.addWidget(buttons);
}

}  // namespace

std::unique_ptr<QDialog> MakeAboutDialog(QWidget* parent) {
  auto dialog = MakeBox(parent, kpw::texts::kAboutCaption);
  auto* layout = new QVBoxLayout(dialog.get());
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(dialog.get());
  const QIcon appIcon = QApplication::windowIcon().isNull()
                            ? dialog->style()->standardIcon(QStyle::SP_MessageBoxInformation)
                            : QApplication::windowIcon();
  icon->setPixmap(appIcon.pixmap(32, 32));
  row->addWidget(icon);
  row->addWidget(new QLabel(Text(kpw::texts::kAboutLine), dialog.get()), 1);
  layout->addLayout(row);
  AddOk(*dialog, *layout);
  return dialog;
}

std::unique_ptr<QDialog> MakeProgramInfoDialog(QWidget* parent) {
  auto dialog = MakeBox(parent, kpw::texts::kProgramInfoCaption);
  auto* layout = new QVBoxLayout(dialog.get());
  auto* group = new QGroupBox(Text(kpw::texts::kProgramInfoGroup), dialog.get());
  auto* grid = new QGridLayout(group);
  struct Switch {
    const char* name;
    const char* first;
    const char* second;
  };
  const Switch switches[] = {
      {kpw::texts::kSwitchS, kpw::texts::kSwitchSLine1, kpw::texts::kSwitchSLine2},
      {kpw::texts::kSwitchN, kpw::texts::kSwitchNLine, nullptr},
      {kpw::texts::kSwitchA, kpw::texts::kSwitchALine1, kpw::texts::kSwitchALine2},
  };
  int row = 0;
  for (const Switch& s : switches) {
    grid->addWidget(new QLabel(Text(s.name), group), row, 0, Qt::AlignTop);
    grid->addWidget(new QLabel(Text(s.first), group), row++, 1);
    if (s.second) grid->addWidget(new QLabel(Text(s.second), group), row++, 1);
  }
  layout->addWidget(group);
  AddOk(*dialog, *layout);
  return dialog;
}

void ShowAboutDialog(QWidget* parent) {
  MakeAboutDialog(parent)->exec();
}

void ShowProgramInfoDialog(QWidget* parent) {
  MakeProgramInfoDialog(parent)->exec();
}

void ShowSyntaxInfoDialog(QWidget* parent) {
  CInfoDlg dialog(parent);
  dialog.m_pageName = kpw::texts::kHelpPageName;
  dialog.DoModal();
}
