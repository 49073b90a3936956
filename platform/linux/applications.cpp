// Linux: installed applications, found and started through their desktop entries.

#include "qlplatform.h"
#include "desktopentry.h"

#include <QFile>

#include <cerrno>

namespace QLPlatform {

bool findApplication(const QString &, const QStringList &, const QStringList &desktopIds, AppLocation *found)
{
    const QList<QByteArray> folders = applicationFolders();
    for (const QString &id : desktopIds) {
        for (const QByteArray &folder : folders) {
            QFile f(QString::fromUtf8(folder + '/' + id.toUtf8()));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            // The first entry met for an ID is the one in force: one in the user's own
            // folder overrides (or, marked Hidden, removes) the system's.
            const DesktopEntry e = parseDesktopEntry(f.readAll());
            QStringList args;
            const bool usable = e.valid && !e.hidden && splitExec(e.exec, &args) && !findProgram(args.first()).isEmpty()
                                && (e.tryExec.isEmpty() || !findProgram(e.tryExec).isEmpty());
            if (usable && found) {
                found->path = folder + '/' + id.toUtf8();
                found->id = id;
            }
            if (usable)
                return true;
            break;
        }
    }
    return false;
}

bool openWithApplication(const QByteArray &appPath, const QList<QByteArray> &files, int, QString *reason)
{
    // Starting the program is the whole request: it runs detached and is not waited for.
    QFile f(QString::fromUtf8(appPath));
    if (appPath.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        if (reason)
            *reason = errorText(ENOENT);
        return false;
    }
    const DesktopEntry e = parseDesktopEntry(f.readAll());
    QStringList args;
    if (!e.valid || !splitExec(e.exec, &args)) {
        if (reason)
            *reason = errorText(ENOEXEC);
        return false;
    }
    QList<QByteArray> argv = expandExec(args, files, e, appPath);
    const QByteArray program = findProgram(args.first());
    if (program.isEmpty()) {
        if (reason)
            *reason = errorText(ENOENT);
        return false;
    }
    argv[0] = program;
    const int err = spawnDetached(argv);
    if (err != 0 && reason)
        *reason = errorText(err);
    return err == 0;
}

} // namespace QLPlatform
