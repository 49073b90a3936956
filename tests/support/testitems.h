#pragma once

// Hits and players as the search and the start-up would make them, for the window's tests.

#include "qlmediaitem.h"
#include "qlplayertargets.h"

inline QLMediaItemPtr item(const QByteArray &path, qint64 size = 0, const QString &origin = QStringLiteral("walk"),
                           const QDateTime &modified = {})
{
    auto i = std::make_shared<QLMediaItem>();
    i->setPath(path);
    i->setName(QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1)));
    i->setExt(QString::fromUtf8(path.mid(path.lastIndexOf('.') + 1)).toLower());
    i->setSizeBytes(size);
    i->setModified(modified);
    i->setVolume(QStringLiteral("本机"));
    i->setOrigin(origin);
    return i;
}

inline QLPlayerTarget player(const QString &name, bool dj = false, const QByteArray &entry = {})
{
    QLPlayerTarget p;
    p.setName(name);
    p.setIsDJ(dj);
    p.setBundlePath(entry);
    return p;
}
