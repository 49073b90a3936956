#include "qlmediasearch.h"
#include "qlplatform.h"


QList<QByteArray> QLMediaSearch::composeSearchableRoots(const QList<QByteArray> &volumes, const QByteArray &home)
{
    QList<QByteArray> roots{QByteArrayLiteral("/")};
    for (const QByteArray &v : volumes) {
        if (!v.isEmpty() && !roots.contains(v))
            roots.append(v);
    }
    if (!home.isEmpty() && !roots.contains(home))
        roots.append(home);
    return roots;
}

QList<QByteArray> QLMediaSearch::searchableRoots()
{
    return composeSearchableRoots(QLPlatform::userVisibleVolumes(), QLPlatform::homeDirectory());
}

QString QLMediaSearch::volumeNameForPath(const QByteArray &path)
{
    const QByteArrayView p(path);
    if (p.startsWith("/Volumes/")) {
        const QByteArrayView rest = p.sliced(9);
        const qsizetype slash = rest.indexOf('/');
        return QString::fromUtf8(slash < 0 ? rest : rest.first(slash));
    }
    return QLPlatform::localVolumeName(path);
}
