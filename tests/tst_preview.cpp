// The space-bar preview in the whole application, with real playback: run through
// support/with-null-sink.sh, which gives the test an audio server of its own.

#include "preview.h"
#include "qlappdelegate.h"
#include "qldraggabletableview.h"
#include "qlsearchwindowcontroller.h"
#include "treefixture.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDataStream>
#include <QLineEdit>
#include <QMainWindow>
#include <QMediaPlayer>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// A mono 16-bit WAV of a 440 Hz tone, written byte by byte. Format 1 is plain PCM; a
// format tag nobody knows gives a file no decoder takes.
QByteArray wav(int ms, quint16 format = 1)
{
    const quint32 rate = 22050;
    const quint32 bytes = rate * 2 * quint32(ms) / 1000;
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s.writeRawData("RIFF", 4);
    s << 36 + bytes;
    s.writeRawData("WAVEfmt ", 8);
    s << quint32(16) << format << quint16(1) << rate << rate * 2 << quint16(2) << quint16(16);
    s.writeRawData("data", 4);
    s << bytes;
    for (quint32 i = 0; i < bytes / 2; ++i)
        s << qint16(8000 * std::sin(2 * M_PI * 440 * i / rate));
    return out;
}

QString nameOf(const QByteArray &path)
{
    return QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1));
}

// The item of the menu with that title, as the menu would show it now.
QAction *menuItem(QMenu *menu, const QString &title)
{
    Q_EMIT menu->aboutToShow();
    for (QAction *a : menu->actions()) {
        if (a->text() == title)
            return a;
    }
    return nullptr;
}

} // namespace

class tst_Preview final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void plays_data();
    void plays();
    void stateRules();
    void failures_data();
    void failures();

private:
    // Selects the row of path and returns the selection summary it shows.
    QString select(const QByteArray &path);
    QString status() const { return m_w->statusLabel()->text(); }
    // True once path plays: the player's position runs, the status line names the file.
    bool playsNow(const QByteArray &path);

    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLAppDelegate> m_app;
    QLSearchWindowController *m_w = nullptr;
    QLPreview *m_preview = nullptr;
    QList<QLMediaItemPtr> m_items;
};

void tst_Preview::initTestCase()
{
    m_home = std::make_unique<TreeFixture>();
    qputenv("HOME", m_home->root());
    qputenv("XDG_DATA_HOME", m_home->path(".local/share"));
    m_home->write("Music/tone.wav", wav(2500));
    m_home->write(QByteArray("Music/t\xe9\xff.wav"), wav(2500)); // a name that is not UTF-8
    m_home->write("Music/long.wav", wav(20000));
    m_home->write("Music/other.wav", wav(20000));
    m_home->write("Music/unknown codec.wav", wav(500, 0x3f1));
    m_home->write("Music/noise.mp3", QByteArray(40000, '\x5a'));
    m_home->fifo("Music/pipe.wav");
    QCOMPARE(QProcess::execute(QStringLiteral("flac"), {QStringLiteral("-s"), QStringLiteral("-o"),
                                                         QString::fromUtf8(m_home->path("Music/tone.flac")),
                                                         QString::fromUtf8(m_home->path("Music/tone.wav"))}),
             0);

    m_app = std::make_unique<QLAppDelegate>();
    m_app->buildMenu();
    m_app->applicationDidFinishLaunching();
    m_w = m_app->win();
    m_preview = m_w->preview();
    for (const QByteArray &rel : {QByteArray("tone.wav"), QByteArray("tone.flac"), QByteArray("t\xe9\xff.wav"),
                                  QByteArray("long.wav"), QByteArray("other.wav"), QByteArray("unknown codec.wav"),
                                  QByteArray("noise.mp3"), QByteArray("pipe.wav"), QByteArray("gone.wav")}) {
        auto i = std::make_shared<QLMediaItem>();
        i->setPath(m_home->path("Music/" + rel));
        i->setName(nameOf(i->path()));
        i->setExt(QString::fromUtf8(rel.mid(rel.lastIndexOf('.') + 1)));
        i->setSizeBytes(QFileInfo(QString::fromUtf8(i->path())).size());
        m_items.append(i);
    }
    m_w->appendItems(m_items);
    QApplication::setQuitOnLastWindowClosed(false); // the window is closed and shown again
    QVERIFY(QTest::qWaitForWindowExposed(m_w->window()));
}

void tst_Preview::init()
{
    m_preview->stop();
}

QString tst_Preview::select(const QByteArray &path)
{
    for (int r = 0; r < m_w->items().size(); ++r) {
        if (m_w->items()[r]->path() == path)
            m_w->table()->selectRow(r);
    }
    return status();
}

bool tst_Preview::playsNow(const QByteArray &path)
{
    const auto position = [this] { return m_preview->player() ? m_preview->player()->position() : 0; };
    if (m_preview->path() != path || !QTest::qWaitFor([&] { return position() > 0; }, 15000))
        return false;
    const qint64 first = position();
    return QTest::qWaitFor([&] {
        return position() > first && status().startsWith(QStringLiteral("正在试听：%1　").arg(nameOf(path)))
            && status().endsWith(QStringLiteral(" / 0:20（空格停止）"));
    }, 5000);
}

void tst_Preview::plays_data()
{
    QTest::addColumn<QByteArray>("rel");
    QTest::newRow("wav") << QByteArray("Music/tone.wav");
    QTest::newRow("flac") << QByteArray("Music/tone.flac");
    QTest::newRow("name not UTF-8") << QByteArray("Music/t\xe9\xff.wav");
}

// Space on a row plays it to its end, with the time on the status line, and then the
// line shows the selection again. The file is never opened for writing.
void tst_Preview::plays()
{
    QFETCH(QByteArray, rel);
    const QByteArray path = m_home->path(rel);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(inotify_add_watch(watch, path.constData(), IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) >= 0);

    const QString summary = select(path);
    QTest::keyClick(m_w->table(), Qt::Key_Space);
    QCOMPARE(m_preview->path(), path);
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("正在试听：%1　0:01 / 0:02（空格停止）").arg(nameOf(path)), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(status(), summary, 8000);
    QVERIFY(!m_preview->isActive());

    alignas(inotify_event) char events[8192];
    const ssize_t n = read(watch, events, sizeof events);
    close(watch);
    QVERIFY2(n >= qsizetype(sizeof(inotify_event)), "the file was never opened");
    for (const char *p = events; p < events + n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(p);
        QCOMPARE(e->mask & (IN_MODIFY | IN_CLOSE_WRITE), 0u);
        p += sizeof(inotify_event) + e->len;
    }
}

void tst_Preview::stateRules()
{
    const QByteArray longPath = m_home->path("Music/long.wav");
    const QByteArray otherPath = m_home->path("Music/other.wav");

    const QString otherSummary = select(otherPath);

    // The File menu's item, which shows Space, starts a preview; the context menu stops it.
    select(longPath);
    QMenu *file = m_app->menuBar()->actions().at(1)->menu();
    QAction *fileItem = menuItem(file, QStringLiteral("试听"));
    QVERIFY(fileItem);
    QCOMPARE(fileItem->shortcut(), QKeySequence(Qt::Key_Space));
    fileItem->trigger();
    QVERIFY(playsNow(longPath));
    QCOMPARE(menuItem(file, QStringLiteral("停止试听")), fileItem);
    menuItem(m_w->contextMenu(), QStringLiteral("停止试听"))->trigger();
    QVERIFY(!m_preview->isActive());

    // Space plays; choosing another row switches to it; Space again stops it and ends the player.
    select(longPath);
    QTest::keyClick(m_w->table(), Qt::Key_Space);
    QVERIFY(playsNow(longPath));
    select(otherPath);
    QVERIFY(playsNow(otherPath));
    QTest::keyClick(m_w->table(), Qt::Key_Space);
    QVERIFY(!m_preview->isActive());
    QVERIFY(!m_preview->player());
    QCOMPARE(status(), otherSummary);

    // Escape (here in the keyword field), closing the window, clearing the selection and
    // starting a search each stop it.
    QSignalSpy searched(m_w, &QLSearchWindowController::searchFinished);
    const QList<std::tuple<const char *, std::function<void()>, QString>> stoppers = {
        {"Escape", [this] { QTest::keyClick(m_w->kwField(), Qt::Key_Escape); }, otherSummary},
        {"close", [this] { m_w->window()->close(); }, otherSummary},
        {"deselect", [this] { m_w->table()->clearSelection(); }, QStringLiteral("已停止试听")},
        {"search", [this] {
             m_w->kwField()->setText(QStringLiteral("没有这样的文件"));
             m_w->rootPop()->setCurrentIndex(int(m_w->roots().indexOf(m_home->root())) + 1);
             m_w->doSearch();
         }, otherSummary},
    };
    for (const auto &[what, stop, after] : stoppers) {
        m_w->showAndFocus();
        QVERIFY(QTest::qWaitForWindowActive(m_w->window()));
        select(otherPath);
        QTest::keyClick(m_w->table(), Qt::Key_Space);
        QVERIFY2(playsNow(otherPath), what);
        stop();
        QVERIFY2(!m_preview->isActive(), what);
        QCOMPARE(status(), after);
    }
    QTRY_COMPARE_WITH_TIMEOUT(searched.size(), 1, 60000);
    m_w->appendItems(m_items);

    // Elsewhere Space keeps its own use, whatever the File menu shows: the keyword field
    // types it, a button with the focus is pressed by it.
    select(longPath);
    m_w->kwField()->clear();
    m_w->kwField()->setFocus();
    QTRY_VERIFY(m_w->kwField()->hasFocus());
    QTest::keyClick(m_w->kwField(), Qt::Key_Space);
    QCOMPARE(m_w->kwField()->text(), QStringLiteral(" "));
    QSignalSpy copied(m_w, &QLSearchWindowController::copyFinished);
    m_w->dupBtn()->setFocus();
    QTRY_VERIFY(m_w->dupBtn()->hasFocus());
    QTest::keyClick(m_w->dupBtn(), Qt::Key_Space);
    QVERIFY(copied.wait(10000));
    QVERIFY(!m_preview->isActive());
}

void tst_Preview::failures_data()
{
    QTest::addColumn<QByteArray>("rel");
    QTest::addColumn<QString>("why");
    QTest::newRow("vanished") << QByteArray("Music/gone.wav") << QStringLiteral("文件已不在原处（可能已被移动、改名或删除）");
    QTest::newRow("a pipe") << QByteArray("Music/pipe.wav") << QStringLiteral("这不是普通文件");
    const QString undecodable = QStringLiteral("无法解码（文件可能已损坏，或不是受支持的格式）");
    QTest::newRow("unknown codec") << QByteArray("Music/unknown codec.wav") << undecodable;
    QTest::newRow("not audio") << QByteArray("Music/noise.mp3") << undecodable;
}

// A file that cannot be played gives one line, which stays.
void tst_Preview::failures()
{
    QFETCH(QByteArray, rel);
    QFETCH(QString, why);
    const QByteArray path = m_home->path(rel);
    select(path);
    QTest::keyClick(m_w->table(), Qt::Key_Space);
    const QString expected = QStringLiteral("无法试听「%1」：%2").arg(nameOf(path), why);
    QTRY_COMPARE(status(), expected);
    QVERIFY(!m_preview->isActive());
    QTest::qWait(300);
    QCOMPARE(status(), expected);
}

QTEST_MAIN(tst_Preview)
#include "tst_preview.moc"
