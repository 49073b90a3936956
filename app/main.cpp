#include "qlappdelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("青鸾寻曲"));
    QApplication::setApplicationVersion(QStringLiteral(QL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("qingluan"));
    QLAppDelegate::applyDarkLook();
    QLAppDelegate::loadQtTranslations();

    QLAppDelegate delegate;
    delegate.buildMenu();
    // Launching has finished once the event loop runs.
    QTimer::singleShot(0, &delegate, &QLAppDelegate::applicationDidFinishLaunching);
    return app.exec();
}
