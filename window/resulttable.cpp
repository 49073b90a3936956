// The selection of the result table and its one-line summary.

#include "qldraggabletableview.h"
#include "qlresultmodel.h"
#include "qlsearchwindowcontroller.h"

#include <QItemSelectionModel>

#include <algorithm>

QList<QLMediaItemPtr> QLSearchWindowController::selectedItems() const
{
    QList<int> rows;
    for (const QModelIndex &i : m_table->selectionModel()->selectedRows())
        rows.append(i.row());
    std::sort(rows.begin(), rows.end());
    const QList<QLMediaItemPtr> &all = items();
    QList<QLMediaItemPtr> out;
    for (int r : std::as_const(rows)) {
        if (r < all.size())
            out.append(all[r]);
    }
    return out;
}

void QLSearchWindowController::refreshSelectionStatus()
{
    const QList<QLMediaItemPtr> selected = selectedItems();
    if (selected.size() == 1) {
        const QLMediaItemPtr &i = selected.first();
        const QString warning = QLPlayerTargets::isFormatSupportedBySerato(i->ext())
            ? QString()
            : QStringLiteral("　⚠ 此格式 Serato 可能不支持");
        setStatus(QStringLiteral("%1 · %2 · %3%4")
                      .arg(i->name(), QLMediaSearch::humanSize(i->sizeBytes()), QString::fromUtf8(i->path()), warning));
    } else if (selected.size() > 1) {
        qint64 total = 0;
        for (const QLMediaItemPtr &i : selected)
            total += i->sizeBytes();
        setStatus(QStringLiteral("已选 %1 项，共 %2 —— 可整批拖到播放器或桌面")
                      .arg(selected.size())
                      .arg(QLMediaSearch::humanSize(total)));
    }
}

QString QLSearchWindowController::primaryDJName() const
{
    for (const QLPlayerTarget &p : m_players) {
        if (p.isDJ())
            return p.name();
    }
    return m_players.isEmpty() ? QString() : m_players.first().name();
}
