// A file manager that the session bus starts on demand, for the tests and the end-to-end
// run:  ql_fakefilemanager RECORD [START_UP_MS]
// After the start-up time it takes the file manager's name, appends each URI it is asked
// to show to RECORD, and ends once it has answered one request.

#include "fakefilemanager.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QThread::msleep(argc > 2 ? QByteArray(argv[2]).toULong() : 0);
    FakeFileManager fm;
    fm.record = QString::fromLocal8Bit(argv[1]);
    QObject::connect(&fm, &FakeFileManager::shown, &app, [&app] { QTimer::singleShot(100, &app, &QCoreApplication::quit); });
    if (!fm.registerOnSessionBus())
        return 1;
    QTimer::singleShot(60000, &app, &QCoreApplication::quit); // never outlives a test run
    return app.exec();
}
