#pragma once

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

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        calls.append(uris);
        startupIds.append(startupId);
    }
};
