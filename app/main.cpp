#include <QApplication>
#include <QLocale>
#include <QPixmap>
#include <QSplashScreen>
#include <QStyleFactory>
#include <QTranslator>
#include <memory>

#include "app/app_resources.h"
#include "app/startup.h"
#include "app/voxtrail.h"

int main(int argc, char* argv[]) {
    setApplicationIdentity();
    // Fusion is installed before the application object exists; the application owns it.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication app(argc, argv);

    QTranslator toolkitTranslator;
    QTranslator programTranslator;
    installTranslators(toolkitTranslator, programTranslator, QLocale::system().name());

    initAppResources();
    const QPixmap splashImage(QStringLiteral(":/gfx/splash.png"));
    QSplashScreen splash(splashImage, Qt::WindowStaysOnTopHint);

    std::unique_ptr<QWidget> window = runSplashSequence(
        splash, [] { return std::make_unique<voxtrail>(); }, blockingWait);

    const int result = app.exec();
    // The window goes first: its sound player closes audio while the application lives.
    window.reset();
    return result;
}
