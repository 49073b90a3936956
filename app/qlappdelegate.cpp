#include "qlappdelegate.h"
#include "preview.h"
#include "qlplatform.h"
#include "qlsearchwindowcontroller.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QSaveFile>
#include <QStandardPaths>

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
        m_win->window()->setMenuBar(m_menuBar); // the window takes the bar built at start
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
