// Runs on a session bus of its own (support/with-session-bus.sh), where the test plays the
// file manager, with default applications of its own.

#include "qldraggabletableview.h"
#include "qlplatform.h"
#include "qlsearchwindowcontroller.h"
#include "fakefilemanager.h"
#include "testitems.h"
#include "treefixture.h"

#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

class tst_ResultActions final : public QObject
{
    Q_OBJECT

    QString status() const { return m_c->statusLabel()->text(); }
    void select(const QList<int> &rows)
    {
        m_c->table()->clearSelection();
        for (int r : rows)
            m_c->table()->selectionModel()->select(m_c->table()->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    std::unique_ptr<TreeFixture> m_xdg;
    FakeFileManager m_fm;
    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLSearchWindowController> m_c;

private Q_SLOTS:
    void initTestCase()
    {
        // GLib reads the XDG folders once per process: the default applications live in a
        // data folder of the whole run, where one program opens MP3 files (and marks each one
        // it gets) and nothing opens folders. The MIME database is the system's.
        m_xdg = std::make_unique<TreeFixture>();
        m_xdg->symlink("sysdata/mime", "/usr/share/mime");
        m_xdg->write("sysdata/applications/player.desktop", "[Desktop Entry]\nType=Application\nName=Player\nExec="
                         + m_xdg->write("player.sh", "#!/bin/sh\ntouch \"$1.opened\"\n", true)
                         + " %f\nMimeType=audio/mpeg;\n");
        m_xdg->write("sysdata/applications/mimeapps.list", "[Default Applications]\naudio/mpeg=player.desktop\n");
        qputenv("XDG_DATA_DIRS", m_xdg->path("sysdata"));
        qputenv("XDG_CONFIG_DIRS", m_xdg->dir("sysconfig"));
    }

    void init()
    {
        m_c.reset();
        m_home = std::make_unique<TreeFixture>();
        qputenv("HOME", m_home->root());
        qputenv("XDG_DATA_HOME", m_home->path("data"));
        m_home->dir("Desktop");
        m_c = std::make_unique<QLSearchWindowController>();
        m_fm.unregister();
        QVERIFY(m_fm.registerOnSessionBus());
        m_fm.calls.clear();
    }

    void nothingSelected()
    {
        m_c->appendItems({item("/m/a.mp3")});
        QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
        for (const auto &action : QList<std::function<void()>>{[&] { m_c->doCopy(); }, [&] { m_c->doReveal(); },
                                                               [&] { m_c->doCopyPath(); }, [&] { m_c->doOpenDefault(); },
                                                               [&] { m_c->doOpenWithPlayer(player(QStringLiteral("VLC"))); }}) {
            m_c->setStatus(QStringLiteral("before"));
            action();
            QCOMPARE(status(), QStringLiteral("请先在列表里选中文件"));
        }
        QTest::qWait(200);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
        QVERIFY(m_fm.calls.isEmpty());
        QCOMPARE(QDir(QString::fromUtf8(m_home->path("Desktop"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    // Both report once the other side has answered, never before.
    void revealAndOpen_data()
    {
        QTest::addColumn<bool>("reveal");
        QTest::addColumn<bool>("fileManager");
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<int>>("opened");
        QTest::newRow("reveal: the file manager shows the first of five")
            << true << true << QList<int>{5, 3, 1, 2, 4} << QStringLiteral("已在文件管理器中定位 5 个文件里的第 1 个") << QList<int>{};
        QTest::newRow("reveal: nothing can show it") << true << false << QList<int>{5, 3, 1, 2, 4}
            << QStringLiteral("无法在文件管理器中显示：没有文件管理器响应，也没有可以打开文件夹的应用程序") << QList<int>{};
        QTest::newRow("open: every file has its application") << false << true << QList<int>{1, 0}
                                                                << QStringLiteral("已用系统默认应用打开 2 个文件") << QList<int>{0, 1};
        QTest::newRow("open: a type no application opens") << false << true << QList<int>{0, 2, 3}
            << QStringLiteral("打开 1 个成功、2 个失败：notes.qlx：没有可以打开此类文件的应用程序") << QList<int>{0};
    }

    void revealAndOpen()
    {
        QFETCH(bool, reveal);
        QFETCH(bool, fileManager);
        QFETCH(QList<int>, rows);
        QFETCH(QString, expected);
        QFETCH(QList<int>, opened);
        if (!fileManager)
            QVERIFY(m_fm.unregister());
        const QList<QByteArray> files{m_home->write("music/b.mp3", "ID3"), m_home->write("music/一 c.mp3", "ID3"),
                                      m_home->write("music/notes.qlx", "notes"), m_home->path("music/gone.mp3"),
                                      m_home->file("music/4.mp3"), m_home->file("music/5.mp3")};
        for (const QByteArray &f : files)
            m_c->appendItems({item(f)});
        select(rows);
        m_c->setStatus(QStringLiteral("before"));
        reveal ? m_c->doReveal() : m_c->doOpenDefault();
        QCOMPARE(status(), QStringLiteral("before"));
        QTRY_COMPARE(status(), expected);
        const QString first = QStringLiteral("file://%1/music/%E4%B8%80%20c.mp3").arg(QString::fromUtf8(m_home->root()));
        QCOMPARE(m_fm.calls, reveal && fileManager ? QList<QStringList>{{first}} : QList<QStringList>());
        for (int i = 0; i < files.size(); ++i)
            QTRY_COMPARE(QFile::exists(QString::fromUtf8(files[i] + ".opened")), opened.contains(i));
    }

    void copyPathsInRowOrder()
    {
        m_c->appendItems({item("/m/a b.mp3"), item("/m/skip.mp3"), item("/m/\xc7\xe0.flac"), item("/m/青.wav")});
        select({3, 0, 2});
        m_c->doCopyPath();
        QCOMPARE(status(), QStringLiteral("已复制 3 个文件的完整路径到剪贴板"));
        const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(mime->text(), QStringLiteral("/m/a b.mp3\n") + QString::fromUtf8("/m/\xc7\xe0.flac") + QStringLiteral("\n/m/青.wav"));
        const QByteArray uris = "file:///m/a%20b.mp3\nfile:///m/%C7%E0.flac\nfile:///m/%E9%9D%92.wav";
        QCOMPARE(QUrl::toStringList(mime->urls(), QUrl::FullyEncoded).join(u'\n').toUtf8(), uris);
        QCOMPARE(mime->data(QStringLiteral("x-special/gnome-copied-files")), "copy\n" + uris);
    }

    void copyToDesktop()
    {
        m_home->write("music/a.mp3", "A");
        m_home->write("music/clip.m4v", "V");
        m_c->appendItems({item(m_home->path("music/a.mp3")), item(m_home->path("music/gone.mp3")), item(m_home->path("music/clip.m4v"))});
        QSignalSpy done(m_c.get(), &QLSearchWindowController::copyFinished);
        select({0, 1});
        m_c->doCopy();
        QCOMPARE(status(), QStringLiteral("正在复制到桌面…"));
        QVERIFY(done.wait(10000));
        QCOMPARE(status(), QStringLiteral("复制 1 个成功、1 个失败：gone.mp3：源文件不存在或已被移动"));
        QCOMPARE(TreeFixture::readFile(m_home->path("Desktop/a.mp3")), QByteArray("A"));
        // Again: a new name. With a format Serato DJ Pro does not play, the notice follows.
        select({0, 2});
        m_c->doCopy();
        QVERIFY(done.wait(10000));
        QCOMPARE(status(), QStringLiteral("已复制 2 个文件到桌面（原文件保留在原位置）　注意：m4v 不是 Serato DJ Pro 支持的格式，拖进去可能无法播放（复制不受影响）"));
        QCOMPARE(TreeFixture::readFile(m_home->path("Desktop/a 2.mp3")), QByteArray("A"));
        QVERIFY(m_c->prog()->isHidden());
    }

    void contextMenuAndPlayers()
    {
        const QByteArray starts = m_home->dir("starts");
        const QByteArray entry = m_home->write("data/applications/mixxx.desktop", "[Desktop Entry]\nType=Application\nName=Mixxx\nExec="
                                                   + m_home->recorder("bin/player", starts) + " %F\n");
        m_c->setPlayers({player(QStringLiteral("Mixxx"), true, entry)});
        m_c->appendItems({item("/m/x.mp3"), item("/m/y.mp3"), item("/m/z.mp3")});
        m_c->showAndFocus();
        QVERIFY(QTest::qWaitForWindowExposed(m_c->window()));
        // A secondary click on another row leaves the selection as it was; the menu acts on it.
        select({0, 2});
        QTest::mouseClick(m_c->table()->viewport(), Qt::RightButton, {}, m_c->table()->visualRect(m_c->table()->model()->index(1, 0)).center());
        QCOMPARE(m_c->selectedPaths(), (QList<QByteArray>{"/m/x.mp3", "/m/z.mp3"}));
        const QList<QAction *> actions = m_c->contextMenu()->actions();
        actions[5]->trigger();
        QCOMPARE(status(), QStringLiteral("已复制 2 个文件的完整路径到剪贴板"));
        actions.last()->menu()->actions().first()->trigger(); // the known player comes first
        QCOMPARE(status(), QStringLiteral("已用「Mixxx」打开 2 个文件"));
        QTRY_COMPARE(TreeFixture::starts(starts), (QList<QList<QByteArray>>{{"/m/x.mp3", "/m/z.mp3"}}));
        m_c->doOpenWithPlayer(player(QStringLiteral("VLC"), false, m_home->path("data/applications/missing.desktop")));
        QVERIFY2(status().startsWith(QStringLiteral("「VLC」不接受直接打开，已为你前置窗口——请把文件拖进去。原因：") + QLPlatform::errorText(ENOENT)),
                 qPrintable(status()));
    }

    // The export, and the old list kept when a new one cannot be written.
    void exportList()
    {
        int panels = 0;
        QString chosen, title, proposed;
        m_c->setSavePanel([&](QWidget *, const QString &t, const QString &p) {
            ++panels;
            title = t;
            proposed = p;
            return chosen;
        });
        m_c->doExport();
        QCOMPARE(status(), QStringLiteral("当前没有可导出的搜索结果"));
        QCOMPARE(panels, 0);

        m_c->appendItems({item("/m/a.mp3", 1536), item("/m/\xc7\xe0 b.flac", 0), item("/m/tab\there.wav", 1048576)});
        m_c->kwField()->setText(QStringLiteral("live"));
        m_c->setStatus(QStringLiteral("before"));
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        m_c->doExport(); // cancelled: nothing written, status unchanged
        QCOMPARE(status(), QStringLiteral("before"));
        QCOMPARE(title, QStringLiteral("导出搜索结果清单"));
        QVERIFY2(proposed.startsWith(QStringLiteral("青鸾寻曲-结果-")) && proposed.endsWith(QStringLiteral(".txt"))
                     && proposed.mid(8).chopped(4).toLongLong() >= before, qPrintable(proposed));

        // UTF-8 without a byte order mark, LF line ends, each name and path as its bytes.
        chosen = QString::fromUtf8(m_home->path("list.txt"));
        m_c->doExport();
        QList<QByteArray> lines = TreeFixture::readFile(m_home->path("list.txt")).split('\n');
        QVERIFY(QRegularExpression(QStringLiteral("^导出时间：\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$"))
                    .match(QString::fromUtf8(lines.value(1))).hasMatch());
        lines[1] = "(time)";
        QCOMPARE(lines.join('\n'), "青鸾寻曲 搜索结果清单\n(time)\n关键词：live\u3000类型：全部类型\u3000共 3 个\n" + QByteArray(44, '-')
                                       + "\n\na.mp3\t1.5 KB\t/m/a.mp3\n\xc7\xe0 b.flac\t0 B\t/m/\xc7\xe0 b.flac\ntab\there.wav\t1.0 MB\t/m/tab\there.wav\n");
        QCOMPARE(status(), QStringLiteral("已导出 3 条结果到 %1").arg(chosen));
        QTRY_COMPARE(m_fm.calls, QList<QStringList>{{QString::fromUtf8(QLPlatform::fileUri(m_home->path("list.txt")))}});

        // Without a keyword, and nothing can show the list: the report says both.
        QVERIFY(m_fm.unregister());
        m_c->kwField()->clear();
        m_c->kindPop()->setCurrentIndex(5);
        m_c->doExport();
        QCOMPARE(TreeFixture::readFile(m_home->path("list.txt")).split('\n').value(2),
                 QStringLiteral("关键词：(空)\u3000类型：视频(MP4/M4V/MOV)\u3000共 3 个").toUtf8());
        QTRY_COMPARE(status(), QStringLiteral("已导出 3 条结果到 %1（无法在文件管理器中显示：没有文件管理器响应，也没有可以打开文件夹的应用程序）").arg(chosen));

        // The list may be written, its folder not (the test drops to nobody for this): the
        // export goes through a new file that replaces the old one whole, so it fails.
        m_home->chmod("", 0755);
        chosen = QString::fromUtf8(m_home->write("locked/list.txt", "old list\n"));
        m_home->chmod("locked/list.txt", 0666);
        m_home->chmod("locked", 0555);
        const QByteArray out = TreeFixture::runInChild([&](int fd) {
            m_c->doExport();
            if (write(fd, status().toUtf8().constData(), size_t(status().toUtf8().size())) < 0)
                _exit(4);
        });
        QCOMPARE(out, QStringLiteral("导出失败：没有权限").toUtf8());
        QCOMPARE(TreeFixture::readFile(m_home->path("locked/list.txt")), QByteArray("old list\n"));
    }

    void dragData()
    {
        m_c->appendItems({item("/m/a b/青鸾 寻曲.mp3"), item(""), item("/m/\xc7\xe0.wav")});
        const QAbstractItemModel *model = m_c->table()->model();
        // The row without a path gives nothing, a row's cells one file.
        std::unique_ptr<QMimeData> mime(model->mimeData({model->index(0, 0), model->index(1, 0), model->index(2, 5), model->index(2, 0)}));
        QCOMPARE(QUrl::toStringList(mime->urls(), QUrl::FullyEncoded).join(u' '),
                 QStringLiteral("file:///m/a%20b/%E9%9D%92%E9%B8%BE%20%E5%AF%BB%E6%9B%B2.mp3 file:///m/%C7%E0.wav"));
        QCOMPARE(mime->text().split(u'\n').first(), QStringLiteral("/m/a b/青鸾 寻曲.mp3"));
        QCOMPARE(QLDraggableTableView::sourceOperationMask(), Qt::CopyAction | Qt::LinkAction);
        QCOMPARE(model->supportedDragActions(), Qt::CopyAction | Qt::LinkAction);
    }

    void dragHint_data()
    {
        QTest::addColumn<QList<QLPlayerTarget>>("players");
        QTest::addColumn<QString>("target");
        QTest::newRow("no player") << QList<QLPlayerTarget>{} << QStringLiteral("目标文件夹 / 播放器");
        QTest::newRow("the first DJ application")
            << QList<QLPlayerTarget>{player(QStringLiteral("VLC")), player(QStringLiteral("Mixxx"), true), player(QStringLiteral("djay"), true)}
            << QStringLiteral("Mixxx");
        QTest::newRow("else the first player") << QList<QLPlayerTarget>{player(QStringLiteral("VLC")), player(QStringLiteral("音乐"))}
                                               << QStringLiteral("VLC");
    }

    void dragHint()
    {
        QFETCH(QList<QLPlayerTarget>, players);
        QFETCH(QString, target);
        m_c->setPlayers(players);
        QVERIFY(m_c->dragHint()->isHidden());
        Q_EMIT m_c->table()->dragStarted(12);
        QCOMPARE(m_c->dragHintLabel()->text(), QStringLiteral("正在拖动 12 个文件 → 拖到文件夹/桌面即复制，拖到「%1」即上碟").arg(target));
        QVERIFY(!m_c->dragHint()->isHidden());
        QVERIFY(m_c->window()->centralWidget()->rect().contains(m_c->dragHint()->geometry()));
        Q_EMIT m_c->table()->dragEnded();
        QVERIFY(m_c->dragHint()->isHidden());
    }
};

QTEST_MAIN(tst_ResultActions)
#include "tst_resultactions.moc"
