// The index phase: after the walk, the system's file-name index is asked the same
// question; hits both sources found become "both", index-only hits under the roots are
// added as "spotlight".

#include "indexquery.h"
#include "pathutil.h"
#include "qlmediasearch.h"
#include "searchstate.h"

#include <algorithm>

namespace {

// No path is this long: a program that writes one is not writing paths.
constexpr qsizetype kMaxPathLength = 1024 * 1024;

bool hasExtensionIn(QByteArrayView name, const QList<QByteArray> &extensions)
{
    const QByteArrayView ext = qlNameExtension(name);
    return std::any_of(extensions.cbegin(), extensions.cend(),
                       [&](const QByteArray &e) { return ext.compare(e, Qt::CaseInsensitive) == 0; });
}

// Whether an index path is worth a look: it ends in an asked extension (a plain keyword
// pattern brings back files of every kind), lies under a root of the search, and is not
// in a folder the search never lists (the Trash; hidden ones where the index has them).
bool isCandidate(const QLSearchState &state, QByteArrayView path, const QList<QByteArray> &extensions)
{
    if (!hasExtensionIn(qlLastPathComponent(path), extensions))
        return false;
    // A plain prefix test: the root /Volumes/Music admits /Volumes/Music Archive/a.mp3.
    return std::any_of(state.roots.cbegin(), state.roots.cend(),
                       [&](const QByteArray &root) { return path.startsWith(root); })
           && !state.rules.dropsIndexPath(path);
}

// The candidates of every run, in the index's order. The cap counts candidates only, so
// that paths outside a narrow root cannot crowd out those inside it. A run that fails
// gives none.
QList<QByteArray> indexCandidates(const QLSearchState &state, QString *error)
{
    if (error)
        error->clear();
    const QLSearchOptions &options = state.options;
    QLPlatform::FileNameIndex index = QLPlatform::fileNameIndex();
    if (!options.indexTool().isEmpty())
        index.program = options.indexTool();
    const QStringList extensions = QLMediaSearch::indexExtensionsForKinds(options.kinds());
    const QList<QLIndexRun> runs = qlIndexRuns(index.language, extensions, options);
    if (runs.isEmpty())
        return {};
    if (const QByteArray db = options.indexDatabase(); !db.isEmpty()) {
        // The tool would wait forever on a FIFO, and a folder is no database either.
        struct stat st;
        if (stat(db.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
            if (error)
                *error = QStringLiteral("索引数据库不是普通文件：%1").arg(qlDisplayName(db));
            return {};
        }
    }
    QList<QByteArray> wanted;
    for (const QString &ext : extensions)
        wanted.append(ext.toUtf8());
    const qsizetype cap = options.limit() != 0 ? qsizetype(qMin<quint64>(options.limit(), 1u << 30) * 2) : 20000;

    QList<QByteArray> paths;
    for (const QLIndexRun &run : runs) {
        QList<QByteArray> found;
        QByteArray pending;
        bool garbage = false;
        const auto take = [&](QByteArrayView path) {
            // mdfind writes UTF-8 only; anything else is not its answer.
            if (index.language == QLPlatform::FileNameIndex::Language::Spotlight && !path.isValidUtf8())
                garbage = true;
            else if (!path.isEmpty() && isCandidate(state, path, wanted))
                found.append(path.toByteArray());
            return !garbage && paths.size() + found.size() < cap;
        };
        const auto onData = [&](const char *data, size_t size) {
            QByteArrayView chunk(data, qsizetype(size));
            for (qsizetype end; (end = chunk.indexOf(run.separator)) >= 0; chunk = chunk.sliced(end + 1)) {
                bool more;
                if (pending.isEmpty()) {
                    more = take(chunk.first(end));
                } else {
                    pending.append(chunk.first(end));
                    more = take(pending);
                    pending.clear();
                }
                if (!more)
                    return false;
            }
            pending.append(chunk);
            garbage = pending.size() > kMaxPathLength;
            return !garbage;
        };
        QString why;
        const bool ran = QLPlatform::runTool(index.program, run.args, onData, state.cancelled, &why);
        if (ran && !pending.isEmpty() && paths.size() + found.size() < cap)
            take(pending); // the last path, without its separator
        if (!ran || garbage) {
            if (error)
                *error = garbage ? QStringLiteral("%1 的输出不是路径").arg(qlDisplayName(index.program)) : why;
            continue;
        }
        paths += found;
        if (paths.size() >= cap)
            break;
    }
    return paths;
}

} // namespace

QList<QByteArray> QLMediaSearch::spotlightPathsForOptions(const QLSearchOptions &options,
                                                          const QLCancelledCallback &cancelled, QString *error)
{
    const QLItemCallback none;
    const QLSearchState state(options, none, cancelled);
    return indexCandidates(state, error);
}

void qlRunIndexPhase(QLSearchState &state)
{
    for (const QByteArray &path : indexCandidates(state, nullptr)) {
        if (state.isCancelled())
            return;
        const QLPathKey key = qlPathKey(path);
        if (const auto it = state.seen.constFind(key); it != state.seen.constEnd()) {
            // "both" confirms a walk hit; a path the index gave twice stays "spotlight".
            if (it.value() && it.value()->originCode() == QLMediaItem::Origin::Walk)
                it.value()->setOriginCode(QLMediaItem::Origin::Both);
            continue;
        }
        const QByteArrayView name = qlLastPathComponent(path);
        if (!state.nameMatches(name))
            continue;
        struct stat st;
        // Gone since it was indexed, or not a regular file (a folder or FIFO named x.mp3).
        if (stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const QLMediaItemPtr item = qlMakeItem(path, name, qlNameExtension(name), st, QLMediaItem::Origin::Spotlight);
        if (state.accept(item, key) && state.limitReached())
            return;
    }
}
