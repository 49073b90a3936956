// The search: the walk, then the index phase.

#include "qlmediasearch.h"
#include "searchstate.h"
#include "walk.h"

QString qlFoldForMatch(const QString &text)
{
    // Lower-casing can break a composed form (and names from Mac disks arrive decomposed),
    // so compose before and after.
    return text.normalized(QString::NormalizationForm_C).toLower().normalized(QString::NormalizationForm_C);
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
