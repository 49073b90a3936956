#pragma once

#include "qlmediaitem.h"

#include <QAbstractTableModel>

// The result list and its table model: one row per hit, in arrival order. Sizes, kinds and
// dates are formatted once per hit, when it arrives. Rows drag out as the files themselves.
class QLResultModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Name, Size, Kind, Volume, Modified, Path, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    const QList<QLMediaItemPtr> &items() const { return m_items; }
    void clear();
    void append(const QList<QLMediaItemPtr> &more);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // A drag carries each dragged row's file once, as a file URL of its exact bytes and as
    // its plain path (one per line); rows without a path carry nothing.
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    // Copy or link, never move: dragging out never takes a file away.
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction | Qt::LinkAction; }

    // Files as a drag and the clipboard offer them: each as a file URL of its exact bytes,
    // and all as their plain paths, one per line.
    static QMimeData *filesMimeData(const QList<QByteArray> &paths);

    // The text of one cell, as the table shows it.
    QString cellText(int row, int column) const;
    // "yyyy-MM-dd HH:mm" in local time; empty for no date.
    static QString dateText(const QDateTime &when);

private:
    struct Texts
    {
        QString name, size, kind, modified, path;
    };
    QList<QLMediaItemPtr> m_items;
    QList<Texts> m_texts;
};
