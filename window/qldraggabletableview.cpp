#include "qldraggabletableview.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QResizeEvent>

#include <algorithm>

QLDraggableTableView::QLDraggableTableView(QWidget *parent)
    : QTableView(parent)
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
    const int rows = int(selectionModel()->selectedRows().size());
    if (rows == 0)
        return;
    Q_EMIT dragStarted(rows);
    // The model has no removeRows, so even a drop that claimed a move would leave the rows.
    QTableView::startDrag(sourceOperationMask());
    Q_EMIT dragEnded();
}
