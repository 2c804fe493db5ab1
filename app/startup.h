#pragma once

#include <QString>
#include <functional>
#include <memory>

class QCoreApplication;
class QSplashScreen;
class QTranslator;
class QWidget;

// Identity in the settings store: organisation "Skyvane", no domain, application "voxtrail".
void setApplicationIdentity();

// Base names of the two translation files for a locale name such as "de_DE".
struct TranslationFiles {
    QString toolkit;  // "qt_<locale>", looked up in the toolkit's translations directory
    QString program;  // "voxtrail_<locale>", looked up in the current working directory
};
TranslationFiles translationFileNames(const QString& localeName);

// Loads both translators for `localeName` and installs them whatever the loads return, so a
// missing file leaves the English texts. The translators must outlive the application's use
// of them.
void installTranslators(QTranslator& toolkit, QTranslator& program, const QString& localeName);

// Blocks the calling thread for `ms` milliseconds. No events are processed meanwhile.
using WaitFunction = std::function<void(int ms)>;
void blockingWait(int ms);

// One splash step: when `updateMessage` is set, show `message` at the top left in black (an
// empty message clears it); then show the splash, process pending events once and wait.
void splashPause(QSplashScreen& splash, int ms, bool updateMessage, const QString& message,
                 const WaitFunction& wait);

// The timed start-up around the main window: 500 ms of plain splash, 500 ms with
// "Loading ...", then the window is created by `createWindow`, shown disabled for 2000 ms
// and 500 ms more with the message cleared, then enabled while the splash closes. The
// window is disabled while it is up behind the splash so no click reaches it early.
// Returns the window; the caller owns it.
std::unique_ptr<QWidget> runSplashSequence(
    QSplashScreen& splash, const std::function<std::unique_ptr<QWidget>()>& createWindow,
    const WaitFunction& wait);
