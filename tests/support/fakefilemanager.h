#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>

// Plays the desktop's file manager on a private session bus: records what it is asked
// to show.
class FakeFileManager final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QList<QStringList> calls;
    QStringList startupIds;

    // Takes the file manager's name and object path on the session bus.
    bool registerOnSessionBus()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        return bus.isConnected()
            && bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), this, QDBusConnection::ExportAllSlots)
            && bus.registerService(QStringLiteral("org.freedesktop.FileManager1"));
    }

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        calls.append(uris);
        startupIds.append(startupId);
    }
};
