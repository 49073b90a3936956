// The search: the walk, then the index phase.

#include "qlmediasearch.h"
#include "searchstate.h"
#include "walk.h"

#include <cstdlib>
#include <unistd.h>

QString qlFoldForMatch(const QString &text)
{
    // Lower-casing can break a composed form (and names from Mac disks arrive decomposed),
    // so compose before and after.
    return text.normalized(QString::NormalizationForm_C).toLower().normalized(QString::NormalizationForm_C);
}

namespace {

QByteArray currentFolder()
{
    char *cwd = getcwd(nullptr, 0);
    if (!cwd)
        return {}; // the current folder was removed: relative roots lead nowhere
    QByteArray out(cwd);
    std::free(cwd);
    return out;
}

QByteArray cleanPath(const QByteArray &path)
{
    QList<QByteArrayView> parts;
    const QByteArrayView p(path);
    for (qsizetype at = 0; at < p.size();) {
        qsizetype end = p.indexOf('/', at);
        if (end < 0)
            end = p.size();
        const QByteArrayView part = p.sliced(at, end - at);
        at = end + 1;
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.isEmpty())
                parts.removeLast(); // "/.." is "/"
            continue;
        }
        parts.append(part);
    }
    QByteArray out;
    out.reserve(path.size());
    for (const QByteArrayView part : parts) {
        out.append('/');
        out.append(part);
    }
    return out.isEmpty() ? QByteArrayLiteral("/") : out;
}

} // namespace

QList<QByteArray> qlCleanRoots(const QList<QByteArray> &roots)
{
    QList<QByteArray> out;
    QByteArray cwd;
    for (const QByteArray &root : roots) {
        if (root.isEmpty())
            continue; // as a prefix, "" would admit every index path
        QByteArray absolute = root;
        if (!root.startsWith('/')) {
            if (cwd.isEmpty())
                cwd = currentFolder();
            if (cwd.isEmpty())
                continue;
            absolute = cwd + '/' + root;
        }
        const QByteArray clean = cleanPath(absolute);
        if (!out.contains(clean))
            out.append(clean);
    }
    return out;
}

QList<QLMediaItemPtr> QLMediaSearch::searchWithOptions(const QLSearchOptions &options,
                                                       const QLItemCallback &onItem,
                                                       const QLProgressCallback &onProgress,
                                                       const QLCancelledCallback &cancelled)
{
    QLSearchState state(options, onItem, cancelled);
    qlWalkRoots(state, onProgress);
    if (onProgress)
        onProgress(state.directoryCount, QStringLiteral("并入索引结果…"));
    // After a cancellation the index could merge nothing (its every path would be refused),
    // so the tool is not started at all.
    if (options.useSpotlight() && !state.limitReached() && !state.isCancelled())
        qlRunIndexPhase(state);
    return state.results;
}
