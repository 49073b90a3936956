// The index phase: after the walk, the system's file-name index is asked the same
// question; hits both sources found become "both", index-only hits under the roots are
// added as "spotlight".

#include "qlmediasearch.h"
#include "qlplatform.h"
#include "searchstate.h"

#include <array>

namespace {

struct Clause
{
    quint64 bit;
    const char *ext;
};

// No row for "m4b": the index never supplies those, the walk alone finds them.
constexpr std::array<Clause, 9> kClauses = {{
    {QLKindMP3, "mp3"}, {QLKindMP4, "mp4"}, {QLKindM4A, "m4a"}, {QLKindWAV, "wav"}, {QLKindAIFF, "aiff"},
    {QLKindAIFF, "aif"}, {QLKindM4V, "m4v"}, {QLKindMOV, "mov"}, {QLKindFLAC, "flac"},
}};

} // namespace

QStringList QLMediaSearch::indexExtensionsForKinds(quint64 kinds)
{
    QStringList exts;
    for (const Clause &c : kClauses) {
        if (kinds & c.bit)
            exts.append(QString::fromLatin1(c.ext));
    }
    return exts;
}

QString QLMediaSearch::spotlightQueryForOptions(const QLSearchOptions &options)
{
    QStringList clauses;
    for (const QString &ext : indexExtensionsForKinds(options.kinds()))
        clauses.append(QStringLiteral("kMDItemFSName == '*.%1'cd").arg(ext));
    if (clauses.isEmpty())
        return {};
    const QString grouped = QStringLiteral("(%1)").arg(clauses.join(QStringLiteral(" || ")));
    if (options.keyword().isEmpty())
        return grouped;
    // The keyword goes in as typed: the tool's failure rules cover what it makes of it.
    return QStringLiteral("(%1) && kMDItemFSName == '*%2*'cd").arg(grouped, options.keyword());
}

QList<QByteArray> QLMediaSearch::spotlightPathsForOptions(const QLSearchOptions &options,
                                                          const QLCancelledCallback &cancelled)
{
    QLPlatform::IndexQuery q;
    q.spotlightQuery = spotlightQueryForOptions(options);
    q.extensions = indexExtensionsForKinds(options.kinds());
    if (q.extensions.isEmpty())
        return {};
    q.keyword = options.keyword();
    q.tool = options.indexTool();
    q.database = options.indexDatabase();
    q.cap = options.limit() != 0 ? qsizetype(qMin<quint64>(options.limit(), 1u << 30) * 2) : 20000;
    return QLPlatform::queryFileNameIndex(q, cancelled);
}

void qlRunIndexPhase(QLSearchState &state)
{
    const QList<QByteArray> paths = QLMediaSearch::spotlightPathsForOptions(state.options, state.cancelled);
    for (const QByteArray &path : paths) {
        if (state.isCancelled())
            return;
        if (const auto it = state.seen.constFind(path); it != state.seen.constEnd()) {
            it.value()->setOriginCode(QLMediaItem::Origin::Both);
            continue;
        }
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArrayView name = QByteArrayView(path).sliced(slash + 1);
        const qsizetype dot = name.lastIndexOf('.');
        if (dot <= 0)
            continue;
        const QByteArrayView ext = name.sliced(dot + 1);
        const quint64 bit = QLKindForExtBytes(ext.data(), ext.size());
        if (bit == 0 || (bit & state.options.kinds()) == 0)
            continue;
        // A plain prefix test: the root /Volumes/Music admits /Volumes/Music Archive/a.mp3.
        bool underRoot = false;
        for (const QByteArray &root : std::as_const(state.roots)) {
            if (path.startsWith(root)) {
                underRoot = true;
                break;
            }
        }
        if (!underRoot || state.rules.dropsIndexPath(path))
            continue;
        struct stat st;
        // Gone since it was indexed, or not a regular file (a folder or FIFO named x.mp3).
        if (stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const QLMediaItemPtr item = qlMakeItem(path, name, ext, st, QLMediaItem::Origin::Spotlight);
        if (state.accept(item) && state.limitReached())
            return;
    }
}
