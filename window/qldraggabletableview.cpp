#include "qldraggabletableview.h"
#include "qlsearchwindowcontroller.h"

#include <QDrag>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QResizeEvent>

#include <algorithm>

QLDraggableTableView::QLDraggableTableView(QLSearchWindowController *controller, QWidget *parent)
    : QTableView(parent)
    , m_controller(controller)
{
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setAcceptDrops(false);
    setDefaultDropAction(Qt::CopyAction);
}

void QLDraggableTableView::fitFirstColumn()
{
    if (!model())
        return;
    int others = 0;
    for (int c = 1; c < model()->columnCount(); ++c)
        others += horizontalHeader()->sectionSize(c);
    horizontalHeader()->resizeSection(0, std::max(50, viewport()->width() - others));
}

void QLDraggableTableView::rowsWillBeAppended(int firstNewRow)
{
    const int lastVisible = rowAt(viewport()->height() - 1);
    m_appendBelowView = lastVisible >= 0 && firstNewRow > lastVisible;
}

void QLDraggableTableView::doItemsLayout()
{
    if (m_appendBelowView) {
        m_appendBelowView = false;
        updateGeometries(); // the scroll bar learns the new row count
        return;
    }
    QTableView::doItemsLayout();
}

void QLDraggableTableView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void QLDraggableTableView::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    fitFirstColumn();
}

void QLDraggableTableView::startDrag(Qt::DropActions)
{
    QList<int> rows;
    for (const QModelIndex &i : selectionModel()->selectedRows())
        rows.append(i.row());
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());
    m_controller->dragWillBegin(int(rows.size()));
    auto *drag = new QDrag(this);
    drag->setMimeData(m_controller->mimeDataForRows(rows));
    drag->exec(sourceOperationMask(), Qt::CopyAction);
    // Whatever the drop did (or if it was cancelled), the rows stay and the hint goes.
    m_controller->dragEnded();
}
