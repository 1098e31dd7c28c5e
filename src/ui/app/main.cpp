// Program entry: the splash fades in first, then the controller is made and the window loaded
// behind it; once the event loop runs the application has finished launching and the splash goes.
// Closing the main window ends the loop; the controller then shuts everything down.
#include "AppController.h"
#include "SplashController.h"

#include <QApplication>
#include <QTimer>

#include <memory>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("gleaner"));
    // No display name: Qt would append it to every window title, and the titles are the program's own.
    QGuiApplication::setDesktopFileName(QStringLiteral("gleaner"));
    // The main window's close ends the program, whatever other window (splash, viewer) is open.
    QApplication::setQuitOnLastWindowClosed(false);

    AppServices services = AppServices::real();
    SplashController splash(services.clock);
    std::unique_ptr<AppController> controller;

    QObject::connect(&splash, &SplashController::fadeInFinished, &application, [&] {
        if (controller)
            return;
        controller = std::make_unique<AppController>(services);
        AppController::setApplicationDelegate(controller.get());
        controller->setSplashController(&splash);
        controller->loadWindowDescription();
        controller->awakeFromNib();
        QTimer::singleShot(0, controller.get(), [&] { controller->applicationDidFinishLaunching(); });
    });
    splash.show();

    const int result = QApplication::exec();
    controller.reset();
    return result;
}
