// What the user does with the selected hits.

#include "qldraggabletableview.h"
#include "qlresultmodel.h"
#include "qlsearchwindowcontroller.h"
#include "qlplatform.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QThreadPool>

#include <memory>

QList<QByteArray> QLSearchWindowController::selectedPaths() const
{
    QList<QByteArray> out;
    for (const QLMediaItemPtr &i : selectedItems())
        out.append(i->path());
    return out;
}

void QLSearchWindowController::requireSelection()
{
    if (selectedItems().isEmpty())
        setStatus(QStringLiteral("请先在列表里选中文件"));
}

void QLSearchWindowController::doCopy()
{
    const QList<QLMediaItemPtr> selected = selectedItems();
    if (selected.isEmpty())
        return requireSelection();
    QList<QByteArray> paths;
    QStringList exts;
    for (const QLMediaItemPtr &i : selected) {
        paths.append(i->path());
        exts.append(i->ext());
    }
    const QStringList unsupported = QLPlayerTargets::unsupportedForSerato(exts);
    // The Serato notice rides on the final report, where the user can read it.
    const QString notice = unsupported.isEmpty()
        ? QString()
        : QStringLiteral("注意：%1 不是 Serato DJ Pro 支持的格式，拖进去可能无法播放（复制不受影响）")
              .arg(unsupported.join(QLatin1Char('/')));
    setStatus(QStringLiteral("正在复制到桌面…"));
    m_prog->setVisible(true);

    const QPointer<QLSearchWindowController> self(this);
    QThreadPool::globalInstance()->start([self, paths, notice] {
        QStringList errors;
        const QList<QByteArray> copied = QLMediaSearch::copyToDesktopBatch(paths, &errors);
        QMetaObject::invokeMethod(qApp, [self, copied, errors, notice] {
            if (!self)
                return;
            self->m_prog->setVisible(false);
            if (!errors.isEmpty()) {
                self->setStatus(QStringLiteral("复制 %1 个成功、%2 个失败：%3").arg(copied.size()).arg(errors.size()).arg(errors.first()));
            } else {
                QString text = QStringLiteral("已复制 %1 个文件到桌面（原文件保留在原位置）").arg(copied.size());
                if (!notice.isEmpty())
                    text += QStringLiteral("　") + notice;
                self->setStatus(text);
            }
            Q_EMIT self->copyFinished();
        }, Qt::QueuedConnection);
    });
}

void QLSearchWindowController::doReveal()
{
    const QList<QByteArray> paths = selectedPaths();
    if (paths.isEmpty())
        return requireSelection();
    // Reported once the file manager (or the folder's default application) has answered,
    // which takes a few seconds when the bus has to start it first.
    const QPointer<QLSearchWindowController> self(this);
    const qsizetype count = paths.size();
    QLMediaSearch::revealInFinder(paths.first(), [self, count](bool ok, const QString &reason) {
        const QLPlatform::FileManagerTexts &texts = QLPlatform::fileManagerTexts();
        if (self)
            self->setStatus(ok ? texts.revealedFormat.arg(count) : texts.revealFailedFormat.arg(reason));
    });
}

void QLSearchWindowController::doCopyPath()
{
    const QList<QByteArray> paths = selectedPaths();
    if (paths.isEmpty())
        return requireSelection();
    // The paths as text and the files as URIs, which file managers paste as files; GNOME's
    // own form too, which its file manager wants for that.
    QMimeData *mime = QLResultModel::filesMimeData(paths);
    QByteArray gnome = "copy";
    for (const QByteArray &p : paths)
        gnome += '\n' + QLPlatform::fileUri(p);
    mime->setData(QStringLiteral("x-special/gnome-copied-files"), gnome);
    QGuiApplication::clipboard()->setMimeData(mime);
    setStatus(QStringLiteral("已复制 %1 个文件的完整路径到剪贴板").arg(paths.size()));
}

void QLSearchWindowController::doOpenDefault()
{
    const QList<QLMediaItemPtr> selected = selectedItems();
    if (selected.isEmpty())
        return requireSelection();
    // One request per file; the report waits for every answer and names the first file,
    // in selection order, that could not be opened.
    struct Tally
    {
        qsizetype pending = 0;
        qsizetype failed = 0;
        qsizetype firstFailed = -1;
        QString firstFailure;
    };
    const auto tally = std::make_shared<Tally>();
    const qsizetype total = selected.size();
    tally->pending = total;
    const QPointer<QLSearchWindowController> self(this);
    for (qsizetype i = 0; i < selected.size(); ++i) {
        const QString name = selected[i]->name();
        QLPlatform::openWithDefaultApplication(selected[i]->path(), [self, tally, total, i, name](bool ok, const QString &reason) {
            if (!ok) {
                ++tally->failed;
                if (tally->firstFailed < 0 || i < tally->firstFailed) {
                    tally->firstFailed = i;
                    tally->firstFailure = QStringLiteral("%1：%2").arg(name, reason);
                }
            }
            if (--tally->pending > 0 || !self)
                return;
            if (tally->failed == 0)
                self->setStatus(QStringLiteral("已用系统默认应用打开 %1 个文件").arg(total));
            else
                self->setStatus(QStringLiteral("打开 %1 个成功、%2 个失败：%3")
                                    .arg(total - tally->failed).arg(tally->failed).arg(tally->firstFailure));
        });
    }
}

void QLSearchWindowController::doOpenWithPlayer(const QLPlayerTarget &target)
{
    const QList<QByteArray> paths = selectedPaths();
    if (paths.isEmpty())
        return requireSelection();
    QString reason;
    if (QLPlayerTargets::openPaths(paths, target, &reason)) {
        setStatus(QStringLiteral("已用「%1」打开 %2 个文件").arg(target.name()).arg(paths.size()));
        return;
    }
    QLPlayerTargets::launchAndFront(target);
    setStatus(QStringLiteral("「%1」不接受直接打开，已为你前置窗口——请把文件拖进去。原因：%2")
                  .arg(target.name(), reason.isEmpty() ? QStringLiteral("未知") : reason));
}

void QLSearchWindowController::selectAllRows()
{
    m_table->selectAll();
    refreshSelectionStatus();
}
