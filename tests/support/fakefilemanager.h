#pragma once

#include <QDBusConnection>
#include <QFile>
#include <QObject>
#include <QStringList>

// Plays the desktop's file manager on a private session bus: records what it is asked
// to show, in calls and, when record is set, as one line per URI appended to that file.
class FakeFileManager final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QList<QStringList> calls;
    QString record;

    // Takes the file manager's name and object path on the session bus.
    bool registerOnSessionBus()
    {
        return QDBusConnection::sessionBus().registerObject(QStringLiteral("/org/freedesktop/FileManager1"), this, QDBusConnection::ExportAllSlots)
            && QDBusConnection::sessionBus().registerService(QStringLiteral("org.freedesktop.FileManager1"));
    }

    bool unregister()
    {
        QDBusConnection::sessionBus().unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
        return QDBusConnection::sessionBus().unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    }

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &)
    {
        calls.append(uris);
        QFile file(record);
        if (!record.isEmpty() && file.open(QIODevice::Append))
            file.write(uris.join(QLatin1Char('\n')).toUtf8() + '\n');
        Q_EMIT shown();
    }

Q_SIGNALS:
    void shown();
};
