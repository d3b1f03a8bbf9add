// The application's small boxes: About, the command-line box and the syntax help.
#pragma once

#include <memory>

class QDialog;
class QWidget;

// Made, not run, so that a caller (or a test) may look before showing them.
std::unique_ptr<QDialog> MakeAboutDialog(QWidget* parent = nullptr);
std::unique_ptr<QDialog> MakeProgramInfoDialog(QWidget* parent = nullptr);

// Modal runs of the three commands' boxes.
void ShowAboutDialog(QWidget* parent = nullptr);
void ShowProgramInfoDialog(QWidget* parent = nullptr);
void ShowSyntaxInfoDialog(QWidget* parent = nullptr);
