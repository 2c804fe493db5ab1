#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

// The questions and file choices the main window puts to the user. The program uses
// standardDialogs(), the toolkit's modal message boxes and file dialogs; tests put in
// their own answers so that no modal loop is needed to drive the window.
struct WindowDialogs {
    // A message box without parent showing `text` and `informativeText` with `buttons`,
    // `defaultButton` preselected. Returns the button chosen (Escape gives the escape
    // button the toolkit picks, Cancel when offered).
    using Ask = std::function<QMessageBox::StandardButton(
        const QString& text, const QString& informativeText, QMessageBox::StandardButtons buttons,
        QMessageBox::StandardButton defaultButton)>;
    // A file to open, chosen with `caption`, starting in `directory` and offering `filter`;
    // an empty string when the user cancelled.
    using GetOpenFileName = std::function<QString(QWidget* parent, const QString& caption,
                                                  const QString& directory, const QString& filter)>;

    Ask ask;
    GetOpenFileName getOpenFileName;
};

// The real dialogs: QMessageBox::exec and QFileDialog::getOpenFileName.
WindowDialogs standardDialogs();
