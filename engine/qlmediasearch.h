#pragma once

#include "qlmediaitem.h"

#include <QStringList>

#include <functional>

using QLItemCallback = std::function<void(const QLMediaItemPtr &item)>;
using QLProgressCallback = std::function<void(quint64 directoryCount, const QString &text)>;
using QLCancelledCallback = std::function<bool()>;
// How a reveal ended: ok, or not with the reason (Chinese, ready to show).
using QLRevealCallback = std::function<void(bool ok, const QString &reason)>;

// The fixed list of directory names the walk never descends into (exact, case-sensitive).
const QList<QByteArray> &QLSkipDirNames();

// The search engine and the file actions. A class without instances or state: every
// operation is static. The engine part lives in engine/, the file actions in actions/.
class QLMediaSearch final
{
public:
    QLMediaSearch() = delete;

    // --- search roots and disk names ---

    // "/" first, then every volume the file manager shows, then the home folder; no path
    // twice; never empty.
    static QList<QByteArray> searchableRoots();
    // The rule behind searchableRoots, given the volumes and the home folder.
    static QList<QByteArray> composeSearchableRoots(const QList<QByteArray> &volumes, const QByteArray &home);
    // The short disk name shown for a file.
    static QString volumeNameForPath(const QByteArray &path);

    // --- the search ---

    // Walks the roots and then, when asked, merges the system's file-name index. Blocks
    // until the search is over; runs every callback on the calling thread. Polls cancelled
    // before each root, each directory entry and each index path; once it answered true it
    // must keep answering true. Returns the accepted hits in acceptance order (the same
    // objects that went to onItem), or none when the options do not keep results. Never
    // reports an error: what cannot be read is skipped.
    static QList<QLMediaItemPtr> searchWithOptions(const QLSearchOptions &options,
                                                   const QLItemCallback &onItem,
                                                   const QLProgressCallback &onProgress,
                                                   const QLCancelledCallback &cancelled);

    // --- the index phase ---

    // The Spotlight query for the options: one clause per wanted extension, grouped, and
    // the keyword clause when there is a keyword. Empty when no extension is wanted.
    static QString spotlightQueryForOptions(const QLSearchOptions &options);
    // The extensions the index is asked for, in clause order.
    static QStringList indexExtensionsForKinds(quint64 kinds);
    // Asks the system's file-name index (plocate on Linux, Spotlight's mdfind on macOS)
    // the options' question and returns the paths worth merging: those that end in an
    // asked extension and lie under a root of the search, in the index's order, at most
    // twice the limit (or 20000) of them. A run of the index program that fails (missing,
    // a database that is not a regular file, a status other than 0, cancelled answering
    // true) gives none; error then says why.
    static QList<QByteArray> spotlightPathsForOptions(const QLSearchOptions &options,
                                                      const QLCancelledCallback &cancelled = {},
                                                      QString *error = nullptr);

    // --- file actions (actions/) ---

    // The path in dir under which a new file named fileName replaces nothing: the name
    // itself, else "base 2.ext", "base 3.ext", ...; past lastNumber "base SECONDS"
    // without an extension, unchecked. A name is taken by anything under it, a dangling
    // link included. Only existence tests are made. (Tests lower lastNumber.)
    static QByteArray uniquePathInDirectory(const QByteArray &dir, const QByteArray &fileName, int lastNumber = 99999);
    // Copies the file to the Desktop under a unique name, never replacing anything, even
    // when another program takes the name meanwhile. Returns the new path, or an empty
    // one with a message in error. A failed copy leaves nothing behind (nor does a killed
    // one, where the file system can create a file without a name).
    static QByteArray copyToDesktop(const QByteArray &path, QString *error = nullptr);
    // Copies each file in order; errors gets one "name：message" line per failure.
    static QList<QByteArray> copyToDesktopBatch(const QList<QByteArray> &paths, QStringList *errors = nullptr);
    // The user's Desktop folder, or empty when the system names none.
    static QByteArray desktopDirectory();
    // A byte count as short text in units of 1024: "0 B", "1 B", "1.5 KB", "1024.0 KB".
    static QString humanSize(qint64 bytes);
    // Shows the file selected in the file manager or, when none answers, opens its
    // folder. Returns at once; done hears later, on the calling thread (whose event loop
    // must run), whether the file or its folder was shown. An empty path shows nothing.
    static void revealInFinder(const QByteArray &path, const QLRevealCallback &done = {});
};
