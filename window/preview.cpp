// The space-bar preview, and how the window drives it.

#include "preview.h"
#include "qldraggabletableview.h"
#include "qlplatform.h"
#include "qlsearchwindowcontroller.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMediaPlayer>
#include <QPointer>
#include <QShortcut>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Failures besides the errno values of opening the file.
constexpr int kNotAFile = -1;
constexpr int kNoDecoder = -2;
constexpr int kUndecodable = -3;

// A time as the status line shows it: m:ss, or h:mm:ss from one hour on.
QString timeText(qint64 ms)
{
    const qint64 s = std::max<qint64>(ms, 0) / 1000;
    const QChar zero(u'0');
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, zero).arg(s % 60, 2, 10, zero);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, zero);
}

} // namespace

QLPreview::QLPreview(QObject *parent)
    : QObject(parent)
{
    // Opening a file on a sleeping disk can take seconds; one stuck file must not hold up
    // the next one the user tries.
    m_openers.setMaxThreadCount(4);
}

QLPreview::~QLPreview()
{
    blockSignals(true); // whoever listens may be going too
    release();
}

QString QLPreview::actionTitle() const
{
    return isActive() ? QStringLiteral("停止试听") : QStringLiteral("试听");
}


void QLPreview::play(const QByteArray &path, const QString &name)
{
    stop();
    if (path.isEmpty())
        return;
    m_path = path;
    m_name = name;
    const quint64 generation = ++m_generation;
    Q_EMIT activeChanged(true);
    showProgress();

    // The file is opened away from the main thread, read-only and without waiting on a
    // pipe, and only a regular file goes on to the player. The player then opens it again
    // through the descriptor, so it plays exactly the file looked at here, whatever bytes
    // its name holds; by then the disk is awake and that second opening is quick.
    const QPointer<QLPreview> self(this);
    m_openers.start([self, path, generation] {
        int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        int error = fd < 0 ? errno : 0;
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) != 0)
            error = errno;
        else if (fd >= 0 && !S_ISREG(st.st_mode))
            error = kNotAFile;
        if (error && fd >= 0) {
            ::close(fd);
            fd = -1;
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, generation, fd, error] {
            if (self)
                self->opened(generation, fd, error);
            else if (fd >= 0)
                ::close(fd);
        }, Qt::QueuedConnection);
    });
}

void QLPreview::opened(quint64 generation, int fd, int error)
{
    if (generation != m_generation) { // stopped or replaced meanwhile
        if (fd >= 0)
            ::close(fd);
        return;
    }
    if (error) {
        const QString text = failureText(error);
        release();
        report(text);
        return;
    }
    m_fd = fd;
    createPlayer();
    m_player->setSource(QUrl::fromEncoded(QLPlatform::openFileUri(fd, m_path)));
    m_player->play();
}

void QLPreview::createPlayer()
{
    m_player = new QMediaPlayer(this);
    m_output = new QAudioOutput(this);
    m_player->setAudioOutput(m_output);
    connect(m_player, &QMediaPlayer::positionChanged, this, &QLPreview::showProgress);
    connect(m_player, &QMediaPlayer::durationChanged, this, &QLPreview::showProgress);
    // The end and the failures are handled once the player has finished its own reporting:
    // ending the player from inside its report would tear down what is reporting.
    connect(m_player, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status != QMediaPlayer::EndOfMedia || m_fd < 0)
            return;
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(this, [this, generation] {
            if (generation != m_generation || m_fd < 0)
                return;
            release();
            Q_EMIT finished();
        }, Qt::QueuedConnection);
    });
    connect(m_player, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
        if (m_fd < 0)
            return;
        const quint64 generation = m_generation;
        const int why = error == QMediaPlayer::FormatError ? kNoDecoder : kUndecodable;
        QMetaObject::invokeMethod(this, [this, generation, why] {
            if (generation != m_generation || m_fd < 0)
                return; // the player tends to report one failure several times
            const QString text = failureText(why);
            release();
            report(text);
        }, Qt::QueuedConnection);
    });
}

void QLPreview::stop()
{
    if (isActive())
        release();
}

void QLPreview::release()
{
    const bool wasActive = isActive();
    const int fd = m_fd;
    m_fd = -1;
    m_path.clear();
    m_statusText.clear(); // whatever the status line shows next, the next preview reports afresh
    ++m_generation;
    // Ending the player rather than emptying it: after a failure, emptying it waits a
    // second for a state the player can no longer reach.
    delete m_player;
    m_player = nullptr;
    delete m_output;
    m_output = nullptr;
    if (fd >= 0)
        ::close(fd);
    if (wasActive)
        Q_EMIT activeChanged(false);
}

void QLPreview::showProgress()
{
    if (!isActive())
        return;
    const bool loaded = m_player && m_fd >= 0;
    const qint64 duration = loaded ? m_player->duration() : 0;
    report(QStringLiteral("正在试听：%1　%2 / %3（空格停止）")
               .arg(m_name, timeText(loaded ? m_player->position() : 0),
                    duration > 0 ? timeText(duration) : QStringLiteral("--:--")));
}

void QLPreview::report(const QString &text)
{
    // The player tells its position ten times a second; the line changes once a second.
    if (text == m_statusText)
        return;
    m_statusText = text;
    Q_EMIT statusChanged(text);
}

QString QLPreview::failureText(int error) const
{
    QString why;
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        why = QStringLiteral("文件已不在原处（可能已被移动、改名或删除）");
        break;
    case EACCES:
    case EPERM:
        why = QStringLiteral("没有读取这个文件的权限");
        break;
    case kNotAFile:
        why = QStringLiteral("这不是普通文件");
        break;
    case kNoDecoder:
        why = QStringLiteral("系统缺少这种编码格式的解码器");
        break;
    case kUndecodable:
        why = QStringLiteral("无法解码（文件可能已损坏，或不是受支持的格式）");
        break;
    default:
        why = QStringLiteral("无法读取文件（%1）").arg(QLPlatform::errorText(error));
        break;
    }
    return QStringLiteral("无法试听「%1」：%2").arg(m_name, why);
}

// --- the window's side ---

namespace {

// Space on the result table starts and stops the preview (the keyword field keeps typing
// spaces); closing the window stops it.
class QLPreviewKeys final : public QObject
{
public:
    explicit QLPreviewKeys(QLSearchWindowController *c)
        : QObject(c)
        , m_c(c)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && watched == m_c->table()) {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
                if (!key->isAutoRepeat())
                    m_c->doPreview();
                return true; // not the table's own use of Space, which selects the current row
            }
        } else if (event->type() == QEvent::Close && watched == m_c->window()) {
            m_c->stopPreview();
        }
        return false;
    }

private:
    QLSearchWindowController *m_c;
};

// After a preview, the status line shows the selection again.
void showSelectionAgain(QLSearchWindowController *c)
{
    if (c->selectedItems().isEmpty())
        c->setStatus(QStringLiteral("已停止试听"));
    else
        c->refreshSelectionStatus();
}

} // namespace

void QLSearchWindowController::installPreview()
{
    m_preview = new QLPreview(this);
    connect(m_preview, &QLPreview::statusChanged, this, &QLSearchWindowController::setStatus);
    connect(m_preview, &QLPreview::finished, this, [this] { showSelectionAgain(this); });
    // While a preview plays, choosing another row previews that one instead.
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!m_preview->isActive())
            return;
        const QList<QLMediaItemPtr> selected = selectedItems();
        if (selected.isEmpty())
            stopPreview();
        else if (selected.first()->path() != m_preview->path())
            m_preview->play(selected.first()->path(), selected.first()->name());
    });
    auto *keys = new QLPreviewKeys(this);
    m_table->installEventFilter(keys);
    m_window->installEventFilter(keys);
    // Escape stops a preview wherever the focus is; without one, Escape is left alone.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), m_window);
    escape->setEnabled(false);
    connect(escape, &QShortcut::activated, this, &QLSearchWindowController::stopPreview);
    connect(m_preview, &QLPreview::activeChanged, escape, &QShortcut::setEnabled);
}

void QLSearchWindowController::doPreview()
{
    if (m_preview->isActive())
        return stopPreview();
    const QList<QLMediaItemPtr> selected = selectedItems();
    if (selected.isEmpty())
        return requireSelection();
    m_preview->play(selected.first()->path(), selected.first()->name());
}

void QLSearchWindowController::stopPreview()
{
    if (!m_preview->isActive())
        return;
    m_preview->stop();
    showSelectionAgain(this);
}
