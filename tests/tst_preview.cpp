// The space-bar preview in the whole application, with real playback: run through
// support/with-null-sink.sh, which gives the test an audio server of its own.

#include "preview.h"
#include "qlappdelegate.h"
#include "qldraggabletableview.h"
#include "qlsearchwindowcontroller.h"
#include "testitems.h"
#include "treefixture.h"

#include <QApplication>
#include <QtEndian>
#include <QMainWindow>
#include <QMediaPlayer>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// A mono 8-bit WAV of silence at 8 kHz: the header, then one byte a sample.
QByteArray wav(int ms)
{
    const quint32 samples = 8 * quint32(ms);
    QByteArray out("RIFF....WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0data....", 44);
    qToLittleEndian(36 + samples, out.data() + 4);
    qToLittleEndian(samples, out.data() + 40);
    return out + QByteArray(qsizetype(samples), '\x80');
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

    QString status() const { return m_w->statusLabel()->text(); }
    // Selects the row of the file and returns the selection summary it shows.
    QString select(const QByteArray &name)
    {
        m_w->table()->selectRow(int(m_names.indexOf(name)));
        return status();
    }
    void space(const QByteArray &name)
    {
        select(name);
        QTest::keyClick(m_w->table(), Qt::Key_Space);
    }
    // True once the 20-second file plays: the player's position runs, the status line names it.
    bool playsNow(const QByteArray &name)
    {
        const auto position = [this] { return m_preview->player() ? m_preview->player()->position() : 0; };
        if (m_preview->path() != m_home->path("Music/" + name) || !QTest::qWaitFor([&] { return position() > 0; }, 15000))
            return false;
        const qint64 first = position();
        return QTest::qWaitFor([&] {
            return position() > first && status().startsWith(QStringLiteral("正在试听：%1　").arg(QString::fromUtf8(name)))
                && status().endsWith(QStringLiteral(" / 0:20（空格停止）"));
        }, 5000);
    }

    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLAppDelegate> m_app;
    QLSearchWindowController *m_w = nullptr;
    QLPreview *m_preview = nullptr;
    QList<QLMediaItemPtr> m_items;
    const QList<QByteArray> m_names{"tone.wav", "t\xe9\xff.flac", "long.wav", "other.wav", "noise.mp3", "pipe.wav", "gone.wav"};

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<TreeFixture>();
        qputenv("HOME", m_home->root());
        qputenv("XDG_DATA_HOME", m_home->path(".local/share"));
        m_home->write("Music/tone.wav", wav(1600));
        m_home->write("Music/long.wav", wav(20000));
        m_home->write("Music/other.wav", wav(20000));
        m_home->write("Music/noise.mp3", QByteArray(40000, '\x5a'));
        m_home->fifo("Music/pipe.wav");
        const QByteArray flac = m_home->path("Music/tone.flac");
        QCOMPARE(QProcess::execute(QStringLiteral("flac"), {QStringLiteral("-s"), QStringLiteral("-o"), QString::fromUtf8(flac),
                                                             QString::fromUtf8(m_home->path("Music/tone.wav"))}), 0);
        QCOMPARE(std::rename(flac.constData(), m_home->path("Music/t\xe9\xff.flac").constData()), 0); // a name that is not UTF-8
        m_app = std::make_unique<QLAppDelegate>();
        m_app->buildMenu();
        m_app->applicationDidFinishLaunching();
        m_w = m_app->win();
        m_preview = m_w->preview();
        for (const QByteArray &name : m_names)
            m_items.append(item(m_home->path("Music/" + name)));
        m_w->appendItems(m_items);
        QApplication::setQuitOnLastWindowClosed(false); // the window is closed and shown again
        QVERIFY(QTest::qWaitForWindowExposed(m_w->window()));
    }

    void init() { m_preview->stop(); }

    void plays_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("why");
        QTest::newRow("wav") << QByteArray("tone.wav") << QString();
        QTest::newRow("flac, a name not UTF-8") << QByteArray("t\xe9\xff.flac") << QString();
        QTest::newRow("vanished") << QByteArray("gone.wav") << QStringLiteral("文件已不在原处（可能已被移动、改名或删除）");
        QTest::newRow("a pipe") << QByteArray("pipe.wav") << QStringLiteral("这不是普通文件");
        QTest::newRow("not audio") << QByteArray("noise.mp3") << QStringLiteral("无法解码（文件可能已损坏，或不是受支持的格式）");
    }

    // Space on a row plays it to its end, with the time on the status line, and then the
    // line shows the selection again; a file that cannot be played gives one line, which
    // stays. No file is ever opened for writing.
    void plays()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, why);
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(inotify_add_watch(watch, m_home->path("Music/" + name).constData(), IN_MODIFY | IN_CLOSE_WRITE) >= 0 || name == "gone.wav");
        const QString summary = select(name);
        space(name);
        const QString shown = why.isEmpty() ? QStringLiteral("正在试听：%1　0:01 / 0:01（空格停止）").arg(QString::fromUtf8(name))
                                            : QStringLiteral("无法试听「%1」：%2").arg(QString::fromUtf8(name), why);
        QTRY_COMPARE_WITH_TIMEOUT(status(), shown, 15000);
        QTest::qWait(300);
        QTRY_COMPARE_WITH_TIMEOUT(status(), why.isEmpty() ? summary : shown, 8000);
        QVERIFY(!m_preview->isActive());
        char event[4096];
        QCOMPARE(read(watch, event, sizeof event), ssize_t(-1));
        close(watch);
    }

    void stateRules()
    {
        const QString otherSummary = select("other.wav");
        // The File menu's item, which shows Space, starts a preview; the context menu stops it.
        select("long.wav");
        QMenu *file = m_app->menuBar()->actions().at(1)->menu();
        QAction *fileItem = menuItem(file, QStringLiteral("试听"));
        QVERIFY(fileItem);
        fileItem->trigger();
        QVERIFY(playsNow("long.wav"));
        QCOMPARE(menuItem(file, QStringLiteral("停止试听")), fileItem);
        menuItem(m_w->contextMenu(), QStringLiteral("停止试听"))->trigger();
        QVERIFY(!m_preview->isActive());

        // Space plays; choosing another row switches to it; Space again stops it and ends the player.
        space("long.wav");
        QVERIFY(playsNow("long.wav"));
        select("other.wav");
        QVERIFY(playsNow("other.wav"));
        QTest::keyClick(m_w->table(), Qt::Key_Space);
        QVERIFY(!m_preview->isActive() && !m_preview->player());
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
            space("other.wav");
            QVERIFY2(playsNow("other.wav"), what);
            stop();
            QVERIFY2(!m_preview->isActive(), what);
            QCOMPARE(status(), after);
        }
        QTRY_COMPARE_WITH_TIMEOUT(searched.size(), 1, 60000);
        m_w->appendItems(m_items);

        // Elsewhere Space keeps its own use, whatever the File menu shows: the keyword field
        // types it, a button with the focus is pressed by it.
        select("long.wav");
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
};

QTEST_MAIN(tst_Preview)
#include "tst_preview.moc"
