#include "qlresultmodel.h"
#include "qlmediasearch.h"

#include <cstdio>
#include <ctime>

QLResultModel::QLResultModel(const QList<QLMediaItemPtr> &items, QObject *parent)
    : QAbstractTableModel(parent)
    , m_items(items)
{
}

void QLResultModel::clear(QList<QLMediaItemPtr> &items)
{
    beginResetModel();
    items.clear();
    m_texts.clear();
    endResetModel();
}

void QLResultModel::append(QList<QLMediaItemPtr> &items, const QList<QLMediaItemPtr> &more)
{
    if (more.isEmpty())
        return;
    const int first = int(items.size());
    beginInsertRows({}, first, first + int(more.size()) - 1);
    for (const QLMediaItemPtr &i : more) {
        items.append(i);
        m_texts.append({i->name(), QLMediaSearch::humanSize(i->sizeBytes()), i->ext().toUpper(), dateText(i->modified()),
                        QString::fromUtf8(i->path())});
    }
    endInsertRows();
}

QString QLResultModel::dateText(const QDateTime &when)
{
    if (!when.isValid())
        return {};
    // localtime_r keeps the time zone rules cached; QDateTime's conversion and formatting
    // cost several times more, for each of thousands of hits.
    const time_t secs = time_t(when.toSecsSinceEpoch());
    tm local{};
    if (!localtime_r(&secs, &local))
        return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min);
    return QString::fromLatin1(buf);
}

int QLResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int QLResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString QLResultModel::cellText(int row, int column) const
{
    if (row < 0 || row >= m_texts.size())
        return {};
    const Texts &t = m_texts[row];
    switch (column) {
    case Name: return t.name;
    case Size: return t.size;
    case Kind: return t.kind;
    case Volume: {
        // The origin may still change on the search thread: read it on every paint.
        const QLMediaItemPtr &item = m_items[row];
        return item->originCode() == QLMediaItem::Origin::Spotlight ? item->volume() + QStringLiteral(" (索引)")
                                                                    : item->volume();
    }
    case Modified: return t.modified;
    case Path: return t.path;
    }
    return {};
}

QVariant QLResultModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_texts.size())
        return {};
    if (role == Qt::DisplayRole)
        return cellText(index.row(), index.column());
    if (role == Qt::ToolTipRole)
        return m_texts[index.row()].path; // every cell of a row shows the full path
    return {};
}

QVariant QLResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char *const titles[] = {"文件名", "大小", "类型", "所在磁盘", "修改时间", "完整路径"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(titles[section]) : QVariant();
}

Qt::ItemFlags QLResultModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled : Qt::NoItemFlags;
}
