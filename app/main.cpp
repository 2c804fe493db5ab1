#include <QApplication>
#include <QLocale>
#include <QPixmap>
#include <QSplashScreen>
#include <QStyleFactory>
#include <QTranslator>
#include <memory>

#include "app/app_resources.h"
#include "app/startup.h"
#include "app/termination_signals.h"
#include "app/voxtrail.h"

int main(int argc, char* argv[]) {
    setApplicationIdentity();
    // Fusion is installed before the application object exists; the application owns it.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication app(argc, argv);

    // From here on SIGTERM, SIGINT and SIGHUP end the program through the event loop, with
    // unsaved changes saved to the recovery folder first. A signal handled during the splash
    // ends it as soon as the splash is over, before the event loop starts.
    TerminationSignals termination;
    voxtrail* mainWindow = nullptr;
    int signalStatus = -1;
    QObject::connect(&termination, &TerminationSignals::arrived, &app, [&](int) {
        signalStatus = mainWindow != nullptr ? mainWindow->saveForSignalEnd() : 0;
        // Ends every running loop, the ones of open dialogs too.
        QCoreApplication::exit(signalStatus);
    });

    QTranslator toolkitTranslator;
    QTranslator programTranslator;
    installTranslators(toolkitTranslator, programTranslator, QLocale::system().name());

    initAppResources();
    const QPixmap splashImage(QStringLiteral(":/gfx/splash.png"));
    QSplashScreen splash(splashImage, Qt::WindowStaysOnTopHint);

    std::unique_ptr<QWidget> window = runSplashSequence(
        splash,
        [&mainWindow] {
            auto created = std::make_unique<voxtrail>();
            mainWindow = created.get();
            return created;
        },
        blockingWait);

    const int result = signalStatus >= 0 ? signalStatus : app.exec();
    // The window goes first: its sound player closes audio while the application lives.
    mainWindow = nullptr;
    window.reset();
    return result;
}
