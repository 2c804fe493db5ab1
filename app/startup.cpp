#include "app/startup.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QSplashScreen>
#include <QThread>
#include <QTranslator>

void setApplicationIdentity() {
    QCoreApplication::setOrganizationName(QStringLiteral("Skyvane"));
    QCoreApplication::setOrganizationDomain(QString());
    QCoreApplication::setApplicationName(QStringLiteral("voxtrail"));
}

TranslationFiles translationFileNames(const QString& localeName) {
    return {QStringLiteral("qt_") + localeName, QStringLiteral("voxtrail_") + localeName};
}

void installTranslators(QTranslator& toolkit, QTranslator& program, const QString& localeName) {
    const TranslationFiles files = translationFileNames(localeName);
    // A failed load is not an error: the texts stay English.
    (void)toolkit.load(files.toolkit, QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    QCoreApplication::installTranslator(&toolkit);
    (void)program.load(files.program, QString());
    QCoreApplication::installTranslator(&program);
}

void blockingWait(int ms) {
    if (ms > 0) QThread::msleep(static_cast<unsigned long>(ms));
}

void splashPause(QSplashScreen& splash, int ms, bool updateMessage, const QString& message,
                 const WaitFunction& wait) {
    if (updateMessage) {
        if (message.isEmpty())
            splash.clearMessage();
        else
            splash.showMessage(message, Qt::AlignLeft, Qt::black);
    }
    splash.show();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    wait(ms);
}

std::unique_ptr<QWidget> runSplashSequence(
    QSplashScreen& splash, const std::function<std::unique_ptr<QWidget>()>& createWindow,
    const WaitFunction& wait) {
    splashPause(splash, 500, false, QString(), wait);
    splashPause(splash, 500, true, QCoreApplication::translate("voxtrail", "Loading ..."), wait);
    std::unique_ptr<QWidget> window = createWindow();
    window->setEnabled(false);
    window->show();
    splashPause(splash, 2000, false, QString(), wait);
    splashPause(splash, 500, true, QString(), wait);
    window->setEnabled(true);
    splash.finish(window.get());
    return window;
}
