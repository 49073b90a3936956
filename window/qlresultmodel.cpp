#include "qlresultmodel.h"
#include "qlmediasearch.h"
#include "qlplatform.h"

#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <ctime>

void QLResultModel::clear()
{
    beginResetModel();
    m_items.clear();
    m_texts.clear();
    endResetModel();
}

void QLResultModel::append(const QList<QLMediaItemPtr> &more)
{
    if (more.isEmpty())
        return;
    const int first = int(m_items.size());
    beginInsertRows({}, first, first + int(more.size()) - 1);
    for (const QLMediaItemPtr &i : more) {
        m_items.append(i);
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
    char buf[64];
    if (!localtime_r(&secs, &local) || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &local) == 0)
        return {};
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
        return m_texts[index.row()].path; // on every cell of the row
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

QStringList QLResultModel::mimeTypes() const
{
    return {QStringLiteral("text/uri-list"), QStringLiteral("text/plain")};
}

QMimeData *QLResultModel::mimeData(const QModelIndexList &indexes) const
{
    QList<int> rows;
    for (const QModelIndex &i : indexes)
        rows.append(i.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    QList<QByteArray> paths;
    for (int r : std::as_const(rows)) {
        if (r >= 0 && r < m_items.size() && !m_items[r]->path().isEmpty())
            paths.append(m_items[r]->path());
    }
    return filesMimeData(paths);
}

QMimeData *QLResultModel::filesMimeData(const QList<QByteArray> &paths)
{
    QList<QUrl> urls;
    QStringList text;
    for (const QByteArray &p : paths) {
        urls.append(QUrl::fromEncoded(QLPlatform::fileUri(p)));
        text.append(QString::fromUtf8(p));
    }
    auto *mime = new QMimeData;
    mime->setUrls(urls);
    mime->setText(text.join(QLatin1Char('\n')));
    return mime;
}
