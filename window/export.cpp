// Export of the result list to a text file.

#include "qlsearchwindowcontroller.h"
#include "qlplatform.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QSaveFile>

#include <cerrno>

namespace {

// QSaveFile describes its failures in English. Those that come from the system (no
// permission, disk full, ...) leave the errno of the failed call, which has a Chinese text.
QString saveFailureText(const QString &qtText, int error)
{
    return error ? QLPlatform::errorText(error) : qtText;
}

} // namespace

QByteArray QLSearchWindowController::exportText() const
{
    // UTF-8 header; each hit's name and path are written as their exact bytes.
    const QString keyword = m_kwField->text().isEmpty() ? QStringLiteral("(空)") : m_kwField->text();
    const QString when = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000");
    QByteArray out = QStringLiteral("青鸾寻曲 搜索结果清单\n导出时间：%1\n关键词：%2\u3000类型：%3\u3000共 %4 个\n%5\n\n")
                         .arg(when, keyword, m_kindPop->currentText(), QString::number(items().size()),
                              QString(44, QLatin1Char('-')))
                         .toUtf8();
    for (const QLMediaItemPtr &i : items())
        out += i->fileNameBytes() + '\t' + QLMediaSearch::humanSize(i->sizeBytes()).toUtf8() + '\t' + i->path() + '\n';
    return out;
}

void QLSearchWindowController::doExport()
{
    if (items().isEmpty()) {
        setStatus(QStringLiteral("当前没有可导出的搜索结果"));
        return;
    }
    const QString title = QStringLiteral("导出搜索结果清单");
    const QString proposed = QStringLiteral("青鸾寻曲-结果-%1.txt").arg(QDateTime::currentSecsSinceEpoch());
    const QString chosen = m_savePanel ? m_savePanel(m_window, title, proposed)
                                       : QFileDialog::getSaveFileName(m_window, title, proposed);
    if (chosen.isEmpty())
        return;
    // Built after the panel closed: it holds every hit that has arrived by now.
    const QByteArray text = exportText();
    QSaveFile file(chosen);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        setStatus(QStringLiteral("导出失败：%1").arg(saveFailureText(file.errorString(), errno)));
        return;
    }
    const QString done = QStringLiteral("已导出 %1 条结果到 %2").arg(items().size()).arg(chosen);
    setStatus(done);
    const QPointer<QLSearchWindowController> self(this);
    QLMediaSearch::revealInFinder(QFile::encodeName(chosen), [self, done](bool ok, const QString &reason) {
        if (!ok && self)
            self->setStatus(done + QStringLiteral("（") + QLPlatform::fileManagerTexts().revealFailedFormat.arg(reason)
                            + QStringLiteral("）"));
    });
}
