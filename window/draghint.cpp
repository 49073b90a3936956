// The orange hint shown while result rows are being dragged out.

#include "qldraggabletableview.h"
#include "qlsearchwindowcontroller.h"

#include <QFrame>
#include <QLabel>

void QLSearchWindowController::registerDragHint()
{
    m_dragHint = new QFrame(m_content);
    m_dragHint->setObjectName(QStringLiteral("dragHint"));
    m_dragHint->setStyleSheet(QStringLiteral("#dragHint { background: rgba(255, 158, 46, 242); border-radius: 9px; }"));
    m_dragHintLabel = new QLabel(m_dragHint);
    QFont f = m_dragHintLabel->font();
    f.setPixelSize(13);
    f.setBold(true);
    m_dragHintLabel->setFont(f);
    m_dragHintLabel->setStyleSheet(QStringLiteral("color: black; background: transparent;"));
    m_dragHint->setVisible(false);
    m_dragHint->raise();
    layoutDragHint();
    connect(m_table, &QLDraggableTableView::dragStarted, this, &QLSearchWindowController::dragWillBegin);
    connect(m_table, &QLDraggableTableView::dragEnded, this, &QLSearchWindowController::dragEnded);
}

void QLSearchWindowController::layoutDragHint()
{
    // 34 high, 70 below the top, centred, its text with 12 of orange on each side.
    const QSize text = m_dragHintLabel->sizeHint();
    const int width = text.width() + 24;
    m_dragHint->setGeometry((m_content->width() - width) / 2, 70, width, 34);
    m_dragHintLabel->setGeometry(12, (34 - text.height()) / 2, text.width(), text.height());
}

void QLSearchWindowController::dragWillBegin(int rowCount)
{
    QString player = primaryDJName();
    if (player.isEmpty())
        player = QStringLiteral("目标文件夹 / 播放器");
    m_dragHintLabel->setText(QStringLiteral("正在拖动 %1 个文件 → 拖到文件夹/桌面即复制，拖到「%2」即上碟").arg(rowCount).arg(player));
    layoutDragHint();
    m_dragHint->raise();
    m_dragHint->setVisible(true);
}

void QLSearchWindowController::dragEnded()
{
    m_dragHint->setVisible(false);
}
