// The window: its controls, their look, and the layout rules that place them.

#include "kinds.h"
#include "qldraggabletableview.h"
#include "qlplatform.h"
#include "qlresultmodel.h"
#include "qlsearchwindowcontroller.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

// The window's content: places every control by the layout rules whenever its size changes.
class QLContentView final : public QWidget
{
public:
    explicit QLContentView(QLSearchWindowController *c)
        : m_c(c)
    {
    }

protected:
    void resizeEvent(QResizeEvent *) override { m_c->layoutControls(); }

private:
    QLSearchWindowController *m_c;
};

namespace {

QFont pixelFont(int pixels, bool bold = false)
{
    // Sizes are the original design's points, which are logical pixels.
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

// Places w with its natural size (or the given width) at x, centred vertically on centreY.
void placeCentred(QWidget *w, int x, int centreY, int width = -1)
{
    const QSize hint = w->sizeHint();
    const int wdt = width >= 0 ? width : hint.width();
    w->setGeometry(x, centreY - hint.height() / 2, wdt, hint.height());
}

} // namespace

void QLSearchWindowController::buildUI()
{
    m_window = new QMainWindow;
    m_window->setWindowTitle(QStringLiteral("青鸾寻曲"));
    m_window->setMinimumSize(820, 520);
    m_window->resize(1080, 680);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        m_window->move(screen->availableGeometry().center() - QPoint(540, 340));
    m_content = new QLContentView(this);
    m_content->setAutoFillBackground(true);
    QPalette pal = m_content->palette();
    pal.setColor(QPalette::Window, QColor::fromRgbF(0.13f, 0.13f, 0.13f));
    m_content->setPalette(pal);
    m_window->setCentralWidget(m_content);

    m_title = new QLabel(QStringLiteral("青鸾寻曲"), m_content);
    m_title->setFont(pixelFont(17, true));
    QPalette titlePal = m_title->palette();
    titlePal.setColor(QPalette::WindowText, QColor::fromRgbF(1.0f, 0.72f, 0.28f));
    m_title->setPalette(titlePal);

    m_kwField = new QLineEdit(m_content);
    m_kwField->setPlaceholderText(QStringLiteral("按文件名过滤，如「青柚乐队」「海屿你」（留空=全部）"));

    m_kindPop = new QComboBox(m_content);
    for (const QLKindChoice &choice : QLKindChoices)
        m_kindPop->addItem(QString::fromUtf8(choice.title));
    m_kindPop->setSizeAdjustPolicy(QComboBox::AdjustToContents);

    m_rootPop = new QComboBox(m_content);
    m_roots = QLMediaSearch::searchableRoots();
    m_rootPop->addItem(QStringLiteral("全部磁盘"));
    for (const QByteArray &root : std::as_const(m_roots))
        m_rootPop->addItem(QString::fromUtf8(root));
    m_rootPop->setSizeAdjustPolicy(QComboBox::AdjustToContents);

    m_searchBtn = button(QStringLiteral("搜索"), m_content);
    m_stopBtn = button(QStringLiteral("停止"), m_content);
    m_stopBtn->setEnabled(false);
    connect(m_searchBtn, &QPushButton::clicked, this, &QLSearchWindowController::doSearch);
    connect(m_stopBtn, &QPushButton::clicked, this, &QLSearchWindowController::doStop);
    // Return searches from the keyword field and wherever no control takes it, as a
    // window's default button does; typing alone never searches.
    connect(m_kwField, &QLineEdit::returnPressed, this, &QLSearchWindowController::doSearch);
    for (const QKeySequence &key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto *sc = new QShortcut(key, m_window);
        connect(sc, &QShortcut::activated, this, &QLSearchWindowController::doSearch);
    }

    m_table = new QLDraggableTableView(this, m_content);
    m_model = new QLResultModel(m_items, this);
    m_table->setModel(m_model);
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
    m_table->verticalHeader()->setDefaultSectionSize(26);
    QHeaderView *header = m_table->horizontalHeader();
    header->setSectionsClickable(false);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(50);
    header->setSectionResizeMode(QHeaderView::Interactive);
    const int widths[] = {420, 86, 64, 130, 140, 360};
    for (int c = 0; c < QLResultModel::ColumnCount; ++c)
        header->resizeSection(c, widths[c]);
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
    m_prog->setRange(0, 0); // indeterminate
    m_prog->setTextVisible(false);
    m_prog->setVisible(false);

    m_statusLabel = new QLineEdit(m_content); // an ordinary, editable text field
    m_statusLabel->setFont(pixelFont(12));
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

    layoutControls();
}

void QLSearchWindowController::layoutControls()
{
    const int W = m_content->width();
    const int H = m_content->height();

    // Top row, every control centred on the title.
    const QSize titleSize = m_title->sizeHint();
    m_title->setGeometry(16, 14, titleSize.width(), titleSize.height());
    const int topY = 14 + titleSize.height() / 2;
    placeCentred(m_kwField, m_title->geometry().right() + 1 + 14, topY, 300);
    placeCentred(m_kindPop, m_kwField->geometry().right() + 1 + 8, topY);
    placeCentred(m_rootPop, m_kindPop->geometry().right() + 1 + 8, topY);
    placeCentred(m_searchBtn, m_rootPop->geometry().right() + 1 + 10, topY);
    placeCentred(m_stopBtn, m_searchBtn->geometry().right() + 1 + 6, topY);

    // Bottom row, every control centred on the progress bar, which keeps its place
    // while hidden.
    const int progH = m_prog->sizeHint().height();
    m_prog->setGeometry(16, H - 14 - progH, 150, progH);
    const int bottomY = H - 14 - progH / 2;
    const int revealW = m_revealBtn->sizeHint().width();
    placeCentred(m_revealBtn, W - 16 - revealW, bottomY);
    const int dupW = m_dupBtn->sizeHint().width();
    placeCentred(m_dupBtn, m_revealBtn->geometry().left() - 8 - dupW, bottomY);
    const int exportW = m_exportBtn->sizeHint().width();
    placeCentred(m_exportBtn, m_dupBtn->geometry().left() - 8 - exportW, bottomY);
    const int statusX = 16 + 150 + 10;
    placeCentred(m_statusLabel, statusX, bottomY, std::max(0, m_exportBtn->geometry().left() - 10 - statusX));

    // The table fills the middle with 16 on each side.
    const int tableTop = m_kwField->geometry().bottom() + 1 + 14;
    m_table->setGeometry(16, tableTop, W - 32, std::max(0, m_prog->geometry().top() - 10 - tableTop));

    if (m_dragHint)
        layoutDragHint();
}
