#include "qlappdelegate.h"
#include "preview.h"
#include "qlplatform.h"
#include "qlsearchwindowcontroller.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProxyStyle>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>
#include <QTranslator>

namespace {

// Fusion draws a menu's separator in a shade of the window colour, which vanishes on a
// dark palette: draw it in the muted text colour instead.
class QLDarkStyle final : public QProxyStyle
{
public:
    QLDarkStyle()
        : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")))
    {
    }

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (element != CE_MenuItem || !item || item->menuItemType != QStyleOptionMenuItem::Separator) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        const int margin = pixelMetric(PM_MenuHMargin, option, widget) + 5;
        const int y = option->rect.center().y();
        painter->save();
        painter->setPen(option->palette.color(QPalette::Disabled, QPalette::WindowText));
        painter->drawLine(option->rect.left() + margin, y, option->rect.right() - margin, y);
        painter->restore();
    }
};

} // namespace

void QLAppDelegate::applyDarkLook()
{
    qApp->setStyle(new QLDarkStyle);
    QPalette p;
    const QColor window = QColor::fromRgbF(0.13f, 0.13f, 0.13f);
    const QColor base = QColor::fromRgbF(0.09f, 0.09f, 0.09f);
    const QColor text = QColor(230, 230, 230);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor::fromRgbF(0.16f, 0.16f, 0.16f));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
    p.setColor(QPalette::Button, QColor::fromRgbF(0.22f, 0.22f, 0.22f));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, QColor(50, 50, 50));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Highlight, QColor(62, 110, 190));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(110, 110, 110));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(110, 110, 110));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(110, 110, 110));
    QApplication::setPalette(p);
}

bool QLAppDelegate::loadQtTranslations()
{
    auto *qt = new QTranslator(qApp);
    if (!qt->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete qt;
        return false;
    }
    return QCoreApplication::installTranslator(qt);
}

QLAppDelegate::QLAppDelegate()
{
    // The menu's key equivalents act for the whole application, even while a text field
    // has the focus: a field must not claim them for its own copy or select-all.
    qApp->installEventFilter(this);
}

QLAppDelegate::~QLAppDelegate()
{
    qApp->removeEventFilter(this);
    if (m_menuBar && !m_menuBar->parent())
        delete m_menuBar; // never handed to a window
}

bool QLAppDelegate::eventFilter(QObject *, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->modifiers() == Qt::ControlModifier) {
            switch (key->key()) {
            case Qt::Key_A: case Qt::Key_C: case Qt::Key_D: case Qt::Key_F: case Qt::Key_R:
            case Qt::Key_H: case Qt::Key_Q: case Qt::Key_M:
                return true; // not offered to the widget: the menu's shortcut takes the key
            default:
                break;
            }
        }
    }
    return false;
}

void QLAppDelegate::buildMenu()
{
    m_menuBar = new QMenuBar;
    const auto add = [](QMenu *menu, const QString &title, const QKeySequence &key, auto &&slot) {
        QAction *a = menu->addAction(title);
        a->setShortcut(key);
        a->setShortcutContext(Qt::ApplicationShortcut);
        QObject::connect(a, &QAction::triggered, slot);
        return a;
    };

    QMenu *appMenu = m_menuBar->addMenu(QStringLiteral("青鸾寻曲"));
    add(appMenu, QStringLiteral("关于青鸾寻曲"), {}, [this] {
        QMessageBox::about(m_win ? m_win->window() : nullptr, QStringLiteral("关于青鸾寻曲"),
                           QStringLiteral("青鸾寻曲 %1").arg(QApplication::applicationVersion()));
    })->setMenuRole(QAction::AboutRole);
    appMenu->addSeparator();
    add(appMenu, QStringLiteral("隐藏青鸾寻曲"), QKeySequence(QStringLiteral("Ctrl+H")), [this] {
        if (m_win)
            m_win->window()->showMinimized();
    });
    appMenu->addSeparator();
    add(appMenu, QStringLiteral("退出青鸾寻曲"), QKeySequence(QStringLiteral("Ctrl+Q")), [] { QApplication::quit(); })
        ->setMenuRole(QAction::QuitRole);

    QMenu *file = m_menuBar->addMenu(QStringLiteral("文件"));
    add(file, QStringLiteral("搜索"), QKeySequence(QStringLiteral("Ctrl+F")), [this] { menuSearch(); });
    add(file, QLPlatform::fileManagerTexts().fileMenuItem, QKeySequence(QStringLiteral("Ctrl+R")), [this] { menuReveal(); });
    add(file, QStringLiteral("复制选中文件到桌面"), QKeySequence(QStringLiteral("Ctrl+D")), [this] { menuCopy(); });
    // Space is shown here but taken by the result table alone: elsewhere, above all in the
    // keyword field, it stays an ordinary key.
    QAction *preview = add(file, QStringLiteral("试听"), QKeySequence(Qt::Key_Space), [this] { menuPreview(); });
    preview->setShortcutContext(Qt::WidgetShortcut);
    connect(file, &QMenu::aboutToShow, preview, [this, preview] {
        if (m_win)
            preview->setText(m_win->preview()->actionTitle());
    });

    QMenu *edit = m_menuBar->addMenu(QStringLiteral("编辑"));
    add(edit, QStringLiteral("全选"), QKeySequence(QStringLiteral("Ctrl+A")), [this] { selectAllRows(); });
    add(edit, QStringLiteral("复制完整路径"), QKeySequence(QStringLiteral("Ctrl+C")), [this] { menuCopyPath(); });

    QMenu *windowMenu = m_menuBar->addMenu(QStringLiteral("窗口"));
    add(windowMenu, QStringLiteral("最小化"), QKeySequence(QStringLiteral("Ctrl+M")), [this] {
        if (m_win)
            m_win->window()->showMinimized();
    });
    add(windowMenu, QStringLiteral("缩放"), {}, [this] {
        if (m_win)
            m_win->window()->isMaximized() ? m_win->window()->showNormal() : m_win->window()->showMaximized();
    });
}

void QLAppDelegate::menuSearch()
{
    if (m_win)
        m_win->doSearch();
}

void QLAppDelegate::menuReveal()
{
    if (m_win)
        m_win->doReveal();
}

void QLAppDelegate::menuCopy()
{
    if (m_win)
        m_win->doCopy();
}

void QLAppDelegate::menuCopyPath()
{
    if (m_win)
        m_win->doCopyPath();
}

void QLAppDelegate::menuPreview()
{
    if (m_win)
        m_win->doPreview();
}

void QLAppDelegate::selectAllRows()
{
    if (m_win)
        m_win->selectAllRows();
}

void QLAppDelegate::applicationDidFinishLaunching()
{
    m_win = std::make_unique<QLSearchWindowController>();
    if (m_menuBar)
        m_win->setMenuBar(m_menuBar);
    m_win->showAndFocus();
    writeReadinessMarker();
}

QString QLAppDelegate::readinessMarkerPath()
{
    // ~/.local/share on Linux (the XDG data home), ~/Library/Application Support on macOS.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/QingLuanXunQu/ui_ready.txt");
}

void QLAppDelegate::writeReadinessMarker()
{
    // Failures are ignored: the program works the same without its marker.
    const QString path = readinessMarkerPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return;
    const QString now = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    f.write(QStringLiteral("ui_ready %1 +0000\n").arg(now).toUtf8());
    f.commit();
}
