#pragma once

// Desktop entries (freedesktop.org's .desktop files): how Linux desktops
// describe installed applications and the command that starts them.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace QLPlatform {

struct DesktopEntry
{
    bool valid = false; // has a [Desktop Entry] group of type Application with an Exec line
    QString exec;
    QString tryExec;
    QString icon;
    QString name;
    bool hidden = false;
};

DesktopEntry parseDesktopEntry(const QByteArray &text);

// Splits an Exec value into arguments by the desktop-entry quoting rules. False when
// the quoting is broken.
bool splitExec(const QString &exec, QStringList *args);

// The command line for opening files: %F and %f become the files, %U and %u their file
// URIs (all of them, in one process), %i the icon, %c the name, %k the entry's own path,
// %% a percent sign; the deprecated codes vanish. Without any file code the files are
// appended, so that the program still receives them.
QList<QByteArray> expandExec(const QStringList &args, const QList<QByteArray> &files, const DesktopEntry &entry,
                             const QByteArray &entryPath);

// The absolute path of an executable program: program itself when it holds a slash,
// otherwise the first match along $PATH. Empty when there is none.
QByteArray findProgram(const QString &program);

// The folders that hold desktop entries, in lookup order: $XDG_DATA_HOME/applications,
// then each $XDG_DATA_DIRS entry's, then Flatpak's exported ones when present.
QList<QByteArray> applicationFolders();

} // namespace QLPlatform
