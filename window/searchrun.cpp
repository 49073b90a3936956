// The controller's state and the search run.

#include "kinds.h"
#include "qldraggabletableview.h"
#include "qlformat.h"
#include "qlplatform.h"
#include "qlresultmodel.h"
#include "qlsearchwindowcontroller.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThreadPool>

#include <utility>

QLSearchWindowController::QLSearchWindowController()
{
    m_players = QLPlayerTargets::installedPlayers();
    buildUI();
    registerDragHint();
    m_mountWatch = std::make_unique<QLPlatform::MountWatch>([this] { rootsChanged(); });
    installPreview();
}

QLSearchWindowController::~QLSearchWindowController()
{
    // A search still running would otherwise walk on to its end while the application
    // waits for its worker before it can quit.
    m_cancelFlag->store(true);
    delete m_window;
}

void QLSearchWindowController::showAndFocus()
{
    if (!m_window->isVisible()) {
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            m_window->move(screen->availableGeometry().center() - m_window->rect().center());
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    m_kwField->setFocus(Qt::OtherFocusReason);
}

quint64 QLSearchWindowController::currentKinds() const
{
    const int i = m_kindPop->currentIndex();
    return i >= 0 && size_t(i) < QLKindChoices.size() ? QLKindChoices[size_t(i)].mask : QLAllKinds;
}

const QList<QLMediaItemPtr> &QLSearchWindowController::items() const
{
    return m_model->items();
}

void QLSearchWindowController::setStatus(const QString &text)
{
    m_statusLabel->setText(text);
    m_statusLabel->setCursorPosition(0);
}

void QLSearchWindowController::appendItems(const QList<QLMediaItemPtr> &more)
{
    if (more.isEmpty())
        return;
    m_table->rowsWillBeAppended(int(items().size()));
    m_model->append(more);
}

void QLSearchWindowController::setPlayers(const QList<QLPlayerTarget> &players)
{
    m_players = players;
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    delete m_contextMenu;
    m_contextMenu = buildContextMenu();
}

void QLSearchWindowController::doSearch()
{
    if (m_searching)
        return;
    stopPreview();
    m_searching = true;
    m_cancelFlag->store(false);
    m_model->clear();
    m_searchBtn->setEnabled(false);
    m_stopBtn->setEnabled(true);
    m_prog->setVisible(true);
    m_dirsScanned = 0;

    QLSearchOptions options;
    options.setKeyword(m_kwField->text());
    options.setKinds(currentKinds());
    options.setLimit(8000);
    const int scope = m_rootPop->currentIndex();
    if (scope >= 1 && scope <= m_roots.size())
        options.setRoots({m_roots[scope - 1]});

    QElapsedTimer started;
    started.start();
    const QPointer<QLSearchWindowController> self(this);
    const std::weak_ptr<std::atomic<bool>> cancel = m_cancelFlag;

    // Every step goes to the main thread as a queued call, in the order the engine made
    // them; the worker never waits for the main thread.
    const auto post = [self](auto step) {
        QMetaObject::invokeMethod(qApp, [self, step] {
            if (self)
                step(self.data());
        }, Qt::QueuedConnection);
    };

    QThreadPool::globalInstance()->start([options, started, post, cancel] {
        // The engine calls back on this thread only.
        QList<QLMediaItemPtr> pending;
        const auto onItem = [&](const QLMediaItemPtr &item) {
            pending.append(item);
            if (pending.size() >= 60)
                post([batch = std::exchange(pending, {})](QLSearchWindowController *c) { c->appendItems(batch); });
        };
        const auto onProgress = [&](quint64 count, const QString &text) {
            post([count, text](QLSearchWindowController *c) {
                c->m_dirsScanned = count;
                c->setStatus(QStringLiteral("正在扫描第 %1 个目录：%2").arg(count).arg(text));
            });
        };
        const auto cancelled = [&cancel] {
            const auto flag = cancel.lock();
            return flag && flag->load();
        };
        QLMediaSearch::searchWithOptions(options, onItem, onProgress, cancelled);
        const double seconds = double(started.nsecsElapsed()) / 1e9;
        post([rest = std::exchange(pending, {}), seconds](QLSearchWindowController *c) { c->finishSearch(rest, seconds); });
    });
}

void QLSearchWindowController::finishSearch(const QList<QLMediaItemPtr> &rest, double seconds)
{
    appendItems(rest);
    m_searching = false;
    m_searchBtn->setEnabled(true);
    m_stopBtn->setEnabled(false);
    m_prog->setVisible(false);
    const QString suffix = m_cancelFlag->load() ? QStringLiteral("（已手动停止，结果不完整）") : QString();
    setStatus(QStringLiteral("完成：找到 %1 个文件，耗时 %2 秒，扫描 %3 个目录%4。选中后拖到播放器或桌面。")
                  .arg(items().size())
                  .arg(QLOneDecimal(seconds))
                  .arg(m_dirsScanned)
                  .arg(suffix));
    Q_EMIT searchFinished();
}

void QLSearchWindowController::doStop()
{
    m_cancelFlag->store(true);
    setStatus(QStringLiteral("正在停止扫描…"));
}
