#include "app/window_dialogs.h"

#include <QFileDialog>
#include <QWidget>

namespace {

QMessageBox::StandardButton askWithMessageBox(const QString& text, const QString& informativeText,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton defaultButton) {
    QMessageBox box;
    box.setText(text);
    box.setInformativeText(informativeText);
    box.setStandardButtons(buttons);
    box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString openFileWithDialog(QWidget* parent, const QString& caption, const QString& directory,
                           const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

QString saveFileWithDialog(QWidget* parent, const QString& caption, const QString& directory,
                           const QString& filter) {
    return QFileDialog::getSaveFileName(parent, caption, directory, filter);
}

void warnWithMessageBox(QWidget* parent, const QString& text, const QString& informativeText) {
    QMessageBox box(QMessageBox::Warning, parent != nullptr ? parent->windowTitle() : QString(),
                    text, QMessageBox::Ok, parent);
    box.setInformativeText(informativeText);
    box.exec();
}

}  // namespace

WindowDialogs standardDialogs() {
    return WindowDialogs{askWithMessageBox, openFileWithDialog, saveFileWithDialog,
                         warnWithMessageBox};
}
