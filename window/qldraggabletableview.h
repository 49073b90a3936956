#pragma once

#include <QTableView>

// The result table. Rows drag out as files, copy or link, never move; nothing can be
// dropped on it. Only the "name" column takes a change of the table's width.
class QLDraggableTableView final : public QTableView
{
    Q_OBJECT
public:
    explicit QLDraggableTableView(QWidget *parent = nullptr);

    // What a drag offers, inside the application and outside alike.
    static Qt::DropActions sourceOperationMask() { return Qt::CopyAction | Qt::LinkAction; }

    // Gives the "name" column whatever width the other columns leave (at least 50).
    void fitFirstColumn();

    // Rows are about to be appended at the end. When they fall below the visible rows,
    // the relayout that follows repaints nothing that changed: it is cut to updating the
    // scroll bar, so that a stream of hits does not repaint the whole table per batch.
    void rowsWillBeAppended(int firstNewRow);
    void doItemsLayout() override;

Q_SIGNALS:
    // Around every drag of rows out of the table, a cancelled one included.
    void dragStarted(int rowCount);
    void dragEnded();

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    // A secondary click opens the context menu and leaves the selection alone: the menu
    // acts on the selected rows, not on the row under the pointer.
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    bool m_appendBelowView = false;
};
