#pragma once

#include "qlmediaitem.h"

#include <QAbstractTableModel>

// The result table's model: reads the controller's items, one row per hit in arrival
// order. Sizes, kinds and dates are formatted once per hit, when it arrives.
class QLResultModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Name, Size, Kind, Volume, Modified, Path, ColumnCount };

    explicit QLResultModel(const QList<QLMediaItemPtr> &items, QObject *parent = nullptr);

    // The controller changes its items only through these two, so rows and texts follow.
    void clear(QList<QLMediaItemPtr> &items);
    void append(QList<QLMediaItemPtr> &items, const QList<QLMediaItemPtr> &more);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // The text of one cell, as the table shows it.
    QString cellText(int row, int column) const;
    // "yyyy-MM-dd HH:mm" in local time; empty for no date.
    static QString dateText(const QDateTime &when);

private:
    struct Texts
    {
        QString name, size, kind, modified, path;
    };
    const QList<QLMediaItemPtr> &m_items;
    QList<Texts> m_texts;
};
