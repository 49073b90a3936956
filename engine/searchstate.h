#pragma once

// The state of one search, shared by the walk and the index phase. Internal to the engine.

#include "qlmediasearch.h"

#include "pathutil.h"
#include "qlplatform.h"
#include "skiprules.h"

#include <QHash>

#include <sys/stat.h>

// Lower-cases with the full Unicode mapping in a canonical composed form, so that
// canonically equivalent names and keywords compare equal.
QString qlFoldForMatch(const QString &text);

// What duplicate detection keeps of a path: a 128-bit digest made of two keyed 64-bit
// hashes, 16 bytes however long the path. Two different paths share one with a chance of
// about 1e-27 among a million paths, far below that of a disk error.
struct QLPathKey
{
    quint64 low;
    quint64 high;
    friend bool operator==(const QLPathKey &a, const QLPathKey &b) { return a.low == b.low && a.high == b.high; }
};
inline size_t qHash(const QLPathKey &key, size_t seed = 0) noexcept
{
    return size_t(key.low) ^ seed;
}
inline QLPathKey qlPathKey(QByteArrayView path)
{
    static const size_t seed = QHashSeed::globalSeed();
    return {quint64(qHash(path, seed)), quint64(qHash(path, seed ^ size_t(0x9e3779b97f4a7c15ull)))};
}

// The roots as the search uses them: absolute (relative ones taken from the current
// folder), lexically clean ("a//b", "a/./b", "a/x/../b" and a trailing "/" become "a/b";
// symbolic links are left alone), empty ones dropped, each once, in their first order.
// The window and qlfind then find the same paths, and the index's paths, which are
// always clean, can be matched against them.
QList<QByteArray> qlCleanRoots(const QList<QByteArray> &roots);

struct QLSearchState
{
    QLSearchState(const QLSearchOptions &opts, const QLItemCallback &item, const QLCancelledCallback &cancel)
        : options(opts)
        , onItem(item)
        , cancelled(cancel)
        , roots(effectiveRoots(opts))
        , rules(roots, opts.skipHidden())
    {
        if (!options.keyword().isEmpty())
            foldedKeyword = qlFoldForMatch(options.keyword());
        loweredByteKeyword = options.byteKeyword().toLower(); // ASCII letters only
    }

    static QList<QByteArray> effectiveRoots(const QLSearchOptions &opts)
    {
        QList<QByteArray> roots = qlCleanRoots(opts.roots());
        return roots.isEmpty() ? QLMediaSearch::searchableRoots() : roots;
    }

    bool isCancelled() const { return cancelled && cancelled(); }
    bool limitReached() const { return options.limit() != 0 && accepted >= options.limit(); }

    // The keyword tests, which need only the file's name: the walk and the index phase ask
    // before they stat a file, so that a name that cannot match costs no system call. Safe
    // to call from any thread.
    bool nameMatches(QByteArrayView name) const
    {
        if (!foldedKeyword.isEmpty() && !qlFoldForMatch(qlDisplayName(name)).contains(foldedKeyword))
            return false;
        return loweredByteKeyword.isEmpty() || name.toByteArray().toLower().contains(loweredByteKeyword);
    }

    // The rest of the acceptance test shared by the walk and the index phase, for a file
    // whose name matches. On success the item is entered in the seen map (and the results,
    // when they are kept) and handed to onItem.
    bool accept(const QLMediaItemPtr &item) { return accept(item, qlPathKey(item->path())); }
    bool accept(const QLMediaItemPtr &item, const QLPathKey &key)
    {
        if (limitReached())
            return false;
        if (seen.contains(key))
            return false;
        if (options.minSize() > 0 && item->sizeBytes() < options.minSize())
            return false;
        seen.insert(key, options.keepResults() ? item.get() : nullptr);
        if (options.keepResults())
            results.append(item);
        ++accepted;
        if (onItem)
            onItem(item);
        return true;
    }

    const QLSearchOptions &options;
    const QLItemCallback &onItem;
    const QLCancelledCallback &cancelled;
    const QList<QByteArray> roots;
    const QLSkipRules rules;
    QList<QLMediaItemPtr> results;
    QHash<QLPathKey, QLMediaItem *> seen; // the item when results are kept
    quint64 accepted = 0;
    QString foldedKeyword;
    QByteArray loweredByteKeyword;
    quint64 directoryCount = 0;
};

// A new hit for the file at path, whose last component is name and extension ext.
inline QLMediaItemPtr qlMakeItem(const QByteArray &path, QByteArrayView name, QByteArrayView ext,
                                 const struct stat &st, QLMediaItem::Origin origin)
{
    auto item = std::make_shared<QLMediaItem>();
    item->setPath(path);
    item->setName(qlDisplayName(name));
    item->setExt(QString::fromUtf8(ext).toLower());
    item->setSizeBytes(qint64(st.st_size));
    item->setModified(QDateTime::fromMSecsSinceEpoch(QLPlatform::modificationMSecs(st), Qt::UTC));
    item->setVolume(QLMediaSearch::volumeNameForPath(path));
    item->setOriginCode(origin);
    return item;
}

// Runs the index phase after the walk (index.cpp).
void qlRunIndexPhase(QLSearchState &state);
