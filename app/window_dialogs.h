#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

// The questions, file choices and warnings the main window puts to the user. The program
// uses standardDialogs(), the toolkit's modal message boxes and file dialogs; tests put in
// their own answers so that no modal loop is needed to drive the window.
struct WindowDialogs {
    // A message box without parent showing `text` and `informativeText` with `buttons`,
    // `defaultButton` preselected. Returns the button chosen (Escape gives the escape
    // button the toolkit picks, Cancel when offered).
    using Ask = std::function<QMessageBox::StandardButton(
        const QString& text, const QString& informativeText, QMessageBox::StandardButtons buttons,
        QMessageBox::StandardButton defaultButton)>;
    // A file name chosen with `caption`, starting in `directory` and offering `filter`; an
    // empty string when the user cancelled. The same shape serves opening and saving.
    using GetFileName = std::function<QString(QWidget* parent, const QString& caption,
                                              const QString& directory, const QString& filter)>;
    using GetOpenFileName = GetFileName;
    using GetSaveFileName = GetFileName;
    // A warning message box over `parent` with `text` (what failed, naming the file) and
    // `informativeText` (why), and an OK button. Returns once it has been dismissed.
    using Warn =
        std::function<void(QWidget* parent, const QString& text, const QString& informativeText)>;

    Ask ask;
    GetOpenFileName getOpenFileName;
    // Asks for the name to save under; the name is used as returned (no extension added).
    GetSaveFileName getSaveFileName;
    Warn warn;
};

// The real dialogs: QMessageBox::exec, QFileDialog::getOpenFileName and getSaveFileName,
// and a QMessageBox with the warning icon.
WindowDialogs standardDialogs();
