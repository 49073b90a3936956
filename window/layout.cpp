// The window: its controls, their look, and the layout rules that place them.

#include "kinds.h"
#include "qldraggabletableview.h"
#include "qlplatform.h"
#include "qlresultmodel.h"
#include "qlsearchwindowcontroller.h"

#include <QApplication>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>

namespace {

// The window's distances, in logical pixels.
constexpr QSize kContentSize(1080, 680);
constexpr QSize kMinContentSize(820, 520);
constexpr int kSideMargin = 16;     // left and right of the title, the table, the progress bar, the reveal button
constexpr int kTopInset = 14;       // above the title
constexpr int kBottomInset = 14;    // below the progress bar
constexpr int kTitleGap = 14;       // title to keyword field
constexpr int kKeywordWidth = 300;
constexpr int kPopUpGap = 8;        // keyword field to kind pop-up to scope pop-up
constexpr int kSearchGap = 10;      // scope pop-up to Search
constexpr int kStopGap = 6;         // Search to Stop
constexpr int kTableGap = 14;       // keyword field to table
constexpr int kProgressGap = 10;    // table to progress bar; progress bar and export button to status line
constexpr int kProgressWidth = 150;
constexpr int kButtonGap = 8;       // between the bottom buttons
constexpr int kTitlePadding = 14;   // left and right of Search's and Stop's titles
constexpr int kRowHeight = 26;
constexpr int kColumnWidths[] = {420, 86, 64, 130, 140, 360};

QFont pixelFont(int pixels, bool bold = false)
{
    QFont f = QApplication::font();
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QPushButton *button(const QString &title, QWidget *parent)
{
    auto *b = new QPushButton(title, parent);
    b->setAutoDefault(false);
    return b;
}

// Places w at x, centred vertically on centreY, with its natural size or the given width;
// returns its right edge.
int placeCentred(QWidget *w, int x, int centreY, int width = -1)
{
    const QSize hint = w->sizeHint();
    const int wdt = width >= 0 ? width : hint.width();
    w->setGeometry(x, centreY - hint.height() / 2, wdt, hint.height());
    return x + wdt;
}

// Places w with its natural size so that its right edge is at right, centred vertically on
// centreY; returns its left edge.
int placeCentredLeftOf(QWidget *w, int right, int centreY)
{
    const int width = w->sizeHint().width();
    placeCentred(w, right - width, centreY, width);
    return right - width;
}

// Search and Stop are as wide as their one-word titles need rather than the style's
// minimum for push buttons, which leaves the scope pop-up room in the smallest window.
int compactWidth(const QPushButton *b)
{
    return std::min(b->sizeHint().width(), b->fontMetrics().horizontalAdvance(b->text()) + 2 * kTitlePadding);
}

} // namespace

// The window's content: every control is placed again by the layout rules whenever its
// size or a control's natural size changes (a pop-up that resizes itself to new items,
// say). It also plays the window's default button: Return that no control takes searches.
bool QLSearchWindowController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_content)
        return false;
    switch (event->type()) {
    case QEvent::Resize:
    case QEvent::LayoutRequest:
        layoutControls();
        return false;
    case QEvent::KeyPress: {
        if (qlIsReturn(static_cast<QKeyEvent *>(event))) {
            m_searchBtn->click(); // does nothing while a search runs
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

void QLSearchWindowController::buildUI()
{
    m_window = new QMainWindow;
    m_window->setWindowTitle(QStringLiteral("青鸾寻曲"));
    m_content = new QWidget;
    // The window's minimum follows from its content's, plus the menu bar where the bar
    // sits inside the window.
    m_content->setMinimumSize(kMinContentSize);
    m_content->setAutoFillBackground(true);
    QPalette pal = m_content->palette();
    pal.setColor(QPalette::Window, QColor::fromRgbF(0.13f, 0.13f, 0.13f));
    m_content->setPalette(pal);
    m_window->setCentralWidget(m_content);
    m_window->resize(kContentSize);

    m_title = new QLabel(QStringLiteral("青鸾寻曲"), m_content);
    m_title->setFont(pixelFont(17, true));
    QPalette titlePal = m_title->palette();
    titlePal.setColor(QPalette::WindowText, QColor::fromRgbF(1.0f, 0.72f, 0.28f));
    m_title->setPalette(titlePal);

    m_kwField = new QLKeywordField(m_content);
    m_kwField->setHint(QStringLiteral("按文件名过滤，如「青柚乐队」「海屿你」（留空=全部）"));
    // Names for screen readers, which the controls without a title of their own lack.
    m_kwField->setAccessibleName(QStringLiteral("关键词"));

    m_kindPop = new QLPopUp(m_content);
    for (const QLKindChoice &choice : QLKindChoices)
        m_kindPop->addItem(QString::fromUtf8(choice.title));
    m_kindPop->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_kindPop->setAccessibleName(QStringLiteral("类型"));

    m_rootPop = new QLPopUp(m_content);
    m_rootPop->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_rootPop->setAccessibleName(QStringLiteral("范围"));
    connect(m_rootPop, &QComboBox::currentIndexChanged, this,
            [this](int i) { m_rootPop->setToolTip(m_rootPop->itemData(i, Qt::ToolTipRole).toString()); });
    m_roots = m_rootsSource();
    fillRootPop();

    m_searchBtn = button(QStringLiteral("搜索"), m_content);
    m_searchBtn->setDefault(true);
    m_stopBtn = button(QStringLiteral("停止"), m_content);
    m_stopBtn->setEnabled(false);
    connect(m_searchBtn, &QPushButton::clicked, this, &QLSearchWindowController::doSearch);
    connect(m_stopBtn, &QPushButton::clicked, this, &QLSearchWindowController::doStop);
    connect(m_kwField, &QLineEdit::returnPressed, this, &QLSearchWindowController::doSearch);

    m_table = new QLDraggableTableView(m_content);
    m_model = new QLResultModel(this);
    m_table->setModel(m_model);
    m_table->setAccessibleName(QStringLiteral("搜索结果"));
    m_table->setFrameShape(QFrame::StyledPanel);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_table->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->setWordWrap(false);
    m_table->setShowGrid(false);
    m_table->setSortingEnabled(false);
    m_table->setFont(pixelFont(12));
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(kRowHeight);
    QHeaderView *header = m_table->horizontalHeader();
    header->setSectionsClickable(false);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(50);
    header->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c < QLResultModel::ColumnCount; ++c)
        header->resizeSection(c, kColumnWidths[c]);
    connect(header, &QHeaderView::sectionResized, this, [this](int section) {
        if (section != 0)
            m_table->fitFirstColumn();
    });
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_contextMenu = buildContextMenu();
    connect(m_table, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        // The actions work on the selection, not on the row under the pointer.
        m_contextMenu->popup(m_table->viewport()->mapToGlobal(pos));
    });
    connect(m_table, &QAbstractItemView::doubleClicked, this, &QLSearchWindowController::doOpenDefault);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &QLSearchWindowController::refreshSelectionStatus);

    m_prog = new QProgressBar(m_content);
    m_prog->setRange(0, 0);
    m_prog->setTextVisible(false);
    m_prog->setVisible(false);

    m_statusLabel = new QLStatusLine(m_content);
    m_statusLabel->setFont(pixelFont(12));
    m_statusLabel->setAccessibleName(QStringLiteral("状态"));
    QPalette statusPal = m_statusLabel->palette();
    statusPal.setColor(QPalette::Text, statusPal.color(QPalette::PlaceholderText));
    m_statusLabel->setPalette(statusPal);
    setStatus(QStringLiteral("就绪。搜索为只读操作，不会改动任何文件。"));

    m_dupBtn = button(QStringLiteral("复制到桌面"), m_content);
    m_revealBtn = button(QLPlatform::fileManagerTexts().button, m_content);
    m_exportBtn = button(QStringLiteral("导出清单"), m_content);
    connect(m_dupBtn, &QPushButton::clicked, this, &QLSearchWindowController::doCopy);
    connect(m_revealBtn, &QPushButton::clicked, this, &QLSearchWindowController::doReveal);
    connect(m_exportBtn, &QPushButton::clicked, this, &QLSearchWindowController::doExport);
    // Tab visits the bottom buttons as they stand on the screen.
    QWidget::setTabOrder(m_statusLabel, m_exportBtn);
    QWidget::setTabOrder(m_exportBtn, m_dupBtn);
    QWidget::setTabOrder(m_dupBtn, m_revealBtn);

    layoutControls();
    m_content->installEventFilter(this);
}

void QLSearchWindowController::fillRootPop()
{
    m_rootPop->clear();
    m_rootPop->addItem(QStringLiteral("全部磁盘"));
    for (const QByteArray &root : std::as_const(m_roots)) {
        const QString path = QString::fromUtf8(root);
        m_rootPop->addItem(path);
        m_rootPop->setItemData(m_rootPop->count() - 1, path, Qt::ToolTipRole);
    }
}

void QLSearchWindowController::rootsChanged()
{
    QList<QByteArray> roots = m_rootsSource();
    if (roots == m_roots)
        return; // a mount the pop-up does not list came or went
    const int scope = m_rootPop->currentIndex();
    const QByteArray chosen = scope >= 1 && scope <= m_roots.size() ? m_roots[scope - 1] : QByteArray();
    m_roots = std::move(roots);
    fillRootPop();
    const int still = chosen.isEmpty() ? -1 : int(m_roots.indexOf(chosen));
    m_rootPop->setCurrentIndex(still + 1); // its tooltip follows
    layoutControls();
}

void QLSearchWindowController::setMenuBar(QMenuBar *bar)
{
    m_window->setMenuBar(bar);
    m_window->layout()->activate();
    m_window->resize(m_window->size() + kContentSize - m_content->size());
}

void QLSearchWindowController::layoutControls()
{
    const int W = m_content->width();
    const int H = m_content->height();

    // Top row, from the left, every control centred on the title. The scope pop-up is as
    // wide as its longest root where the window has room, and narrower where it has not,
    // so that Stop never leaves the window; a root too long for it loses its middle.
    const QSize titleSize = m_title->sizeHint();
    m_title->setGeometry(kSideMargin, kTopInset, titleSize.width(), titleSize.height());
    const int topY = kTopInset + titleSize.height() / 2;
    int x = kSideMargin + titleSize.width() + kTitleGap;
    x = placeCentred(m_kwField, x, topY, kKeywordWidth) + kPopUpGap;
    x = placeCentred(m_kindPop, x, topY) + kPopUpGap;
    const int searchW = compactWidth(m_searchBtn);
    const int stopW = compactWidth(m_stopBtn);
    const int rootPopRoom = W - kSideMargin - stopW - kStopGap - searchW - kSearchGap - x;
    x = placeCentred(m_rootPop, x, topY, std::clamp(rootPopRoom, 0, m_rootPop->sizeHint().width())) + kSearchGap;
    x = placeCentred(m_searchBtn, x, topY, searchW) + kStopGap;
    placeCentred(m_stopBtn, x, topY, stopW);

    // Bottom row, every control centred on the progress bar, which keeps its place while
    // hidden. The buttons stand at the right edge; the status line takes what is left.
    const int progH = m_prog->sizeHint().height();
    m_prog->setGeometry(kSideMargin, H - kBottomInset - progH, kProgressWidth, progH);
    const int bottomY = H - kBottomInset - progH / 2;
    int right = placeCentredLeftOf(m_revealBtn, W - kSideMargin, bottomY) - kButtonGap;
    right = placeCentredLeftOf(m_dupBtn, right, bottomY) - kButtonGap;
    right = placeCentredLeftOf(m_exportBtn, right, bottomY) - kProgressGap;
    const int statusX = kSideMargin + kProgressWidth + kProgressGap;
    placeCentred(m_statusLabel, statusX, bottomY, std::max(0, right - statusX));

    const int tableTop = m_kwField->geometry().bottom() + 1 + kTableGap;
    m_table->setGeometry(kSideMargin, tableTop, W - 2 * kSideMargin,
                         std::max(0, m_prog->geometry().top() - kProgressGap - tableTop));

    if (m_dragHint)
        layoutDragHint();
}
