// Runs on a session bus of its own, where the test plays the file manager, with default
// applications of its own.

#include "qldraggabletableview.h"
#include "qlplatform.h"
#include "qlsearchwindowcontroller.h"
#include "fakefilemanager.h"
#include "sessionbus.h"
#include "treefixture.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDBusConnection>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QDir>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QLMediaItemPtr item(const QByteArray &path, qint64 size = 0)
{
    auto i = std::make_shared<QLMediaItem>();
    i->setPath(path);
    i->setName(QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1)));
    i->setExt(QString::fromUtf8(path.mid(path.lastIndexOf('.') + 1)).toLower());
    i->setSizeBytes(size);
    i->setVolume(QStringLiteral("本机"));
    return i;
}

void selectRows(QTableView *t, const QList<int> &rows)
{
    t->clearSelection();
    for (int r : rows)
        t->selectionModel()->select(t->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QStringList menuTitles(const QMenu *m)
{
    QStringList out;
    for (const QAction *a : m->actions())
        out.append(a->isSeparator() ? QStringLiteral("---") : a->text());
    return out;
}

} // namespace

class tst_ResultActions final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void nothingSelected();
    void reveal_data();
    void reveal();
    void copyPathsInRowOrder();
    void copyToDesktop();
    void openWithTheDefaultApplication_data();
    void openWithTheDefaultApplication();
    void openWithAPlayer();
    void selectAll();
    void exportFile();
    void exportEdgeCases();
    void exportFailureKeepsTheOldFile();
    void contextMenu();
    void dragData();
    void dragHint();

private:
    std::unique_ptr<PrivateSessionBus> m_bus;
    std::unique_ptr<TreeFixture> m_xdg;
    FakeFileManager m_fm;
    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLSearchWindowController> m_c;
    QByteArray m_oldHome;
};

void tst_ResultActions::initTestCase()
{
    // GLib reads the XDG folders once per process: the default applications live in a
    // data folder of the whole run, where one program opens MP3 files and nothing opens
    // folders. The MIME database is the system's.
    m_xdg = std::make_unique<TreeFixture>();
    m_xdg->symlink("sysdata/mime", "/usr/share/mime");
    m_xdg->write("sysdata/applications/player.desktop", "[Desktop Entry]\nType=Application\nName=Player\nExec="
                     + m_xdg->write("player.sh", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + m_xdg->path("opened") + "'\n", true)
                     + " %f\nMimeType=audio/mpeg;\n");
    m_xdg->write("sysdata/applications/mimeapps.list", "[Default Applications]\naudio/mpeg=player.desktop\n");
    qputenv("XDG_DATA_DIRS", m_xdg->path("sysdata"));
    qputenv("XDG_CONFIG_DIRS", m_xdg->dir("sysconfig"));
    m_bus = std::make_unique<PrivateSessionBus>();
    QVERIFY(m_bus->isRunning());
}

void tst_ResultActions::init()
{
    m_home = std::make_unique<TreeFixture>();
    m_oldHome = qgetenv("HOME");
    qputenv("HOME", m_home->root());
    qputenv("XDG_DATA_HOME", m_home->path("data"));
    m_home->dir("Desktop");
    m_c = std::make_unique<QLSearchWindowController>();
    m_fm.unregister();
    QVERIFY(m_fm.registerOnSessionBus());
    m_fm.calls.clear();
}

void tst_ResultActions::cleanup()
{
    m_c.reset();
    qputenv("HOME", m_oldHome);
    m_home.reset();
}

void tst_ResultActions::nothingSelected()
{
    m_c->appendItems({item("/m/a.mp3")});
    QGuiApplication::clipboard()->setText(QStringLiteral("untouched"));
    QLPlayerTarget vlc;
    vlc.setName(QStringLiteral("VLC"));
    const QList<std::function<void()>> actions = {
        [&] { m_c->doCopy(); }, [&] { m_c->doReveal(); }, [&] { m_c->doCopyPath(); },
        [&] { m_c->doOpenDefault(); }, [&] { m_c->doOpenWithPlayer(vlc); },
    };
    for (const auto &action : actions) {
        m_c->setStatus(QStringLiteral("before"));
        action();
        QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("请先在列表里选中文件"));
    }
    QTest::qWait(200);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("untouched"));
    QVERIFY(m_fm.calls.isEmpty());
    QCOMPARE(QDir(QString::fromUtf8(m_home->path("Desktop"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void tst_ResultActions::reveal_data()
{
    QTest::addColumn<bool>("fileManager");
    QTest::addColumn<QString>("status");
    QTest::newRow("the file manager shows the first of five") << true << QStringLiteral("已在文件管理器中定位 5 个文件里的第 1 个");
    QTest::newRow("nothing can show it")
        << false << QStringLiteral("无法在文件管理器中显示：没有文件管理器响应，也没有可以打开文件夹的应用程序");
}

void tst_ResultActions::reveal()
{
    QFETCH(bool, fileManager);
    QFETCH(QString, status);
    if (!fileManager)
        QVERIFY(m_fm.unregister());
    for (const QByteArray name : {"0.mp3", "一 1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3"})
        m_c->appendItems({item(m_home->file("music/" + name))});
    selectRows(m_c->table(), {5, 3, 1, 2, 4});
    m_c->setStatus(QStringLiteral("before"));
    m_c->doReveal();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("before")); // nothing is claimed before the answer
    QTRY_COMPARE(m_c->statusLabel()->text(), status);
    const QString first = QStringLiteral("file://") + QString::fromUtf8(m_home->root()) + QStringLiteral("/music/%E4%B8%80%201.mp3");
    QCOMPARE(m_fm.calls, fileManager ? QList<QStringList>{{first}} : QList<QStringList>());
}

void tst_ResultActions::copyPathsInRowOrder()
{
    m_c->appendItems({item("/m/a b.mp3"), item("/m/skip.mp3"), item("/m/\xc7\xe0.flac"), item("/m/青.wav")});
    selectRows(m_c->table(), {3, 0, 2});
    m_c->doCopyPath();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已复制 3 个文件的完整路径到剪贴板"));
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    QCOMPARE(mime->text(), QStringLiteral("/m/a b.mp3\n") + QString::fromUtf8("/m/\xc7\xe0.flac") + QStringLiteral("\n/m/青.wav"));
    QList<QByteArray> urls;
    for (const QUrl &u : mime->urls())
        urls.append(u.toEncoded());
    QCOMPARE(urls, (QList<QByteArray>{"file:///m/a%20b.mp3", "file:///m/%C7%E0.flac", "file:///m/%E9%9D%92.wav"}));
    QCOMPARE(mime->data(QStringLiteral("x-special/gnome-copied-files")),
             QByteArray("copy\nfile:///m/a%20b.mp3\nfile:///m/%C7%E0.flac\nfile:///m/%E9%9D%92.wav"));
}

void tst_ResultActions::copyToDesktop()
{
    m_home->write("music/a.mp3", "A");
    m_home->write("music/clip.m4v", "V");
    m_c->appendItems({item(m_home->path("music/a.mp3")), item(m_home->path("music/gone.mp3")), item(m_home->path("music/clip.m4v"))});
    QSignalSpy done(m_c.get(), &QLSearchWindowController::copyFinished);

    selectRows(m_c->table(), {0, 1});
    m_c->doCopy();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("正在复制到桌面…"));
    QVERIFY(done.wait(10000));
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("复制 1 个成功、1 个失败：gone.mp3：源文件不存在或已被移动"));
    QCOMPARE(TreeFixture::readFile(m_home->path("Desktop/a.mp3")), QByteArray("A"));

    selectRows(m_c->table(), {0});
    m_c->doCopy();
    QVERIFY(done.wait(10000));
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已复制 1 个文件到桌面（原文件保留在原位置）"));
    QCOMPARE(TreeFixture::readFile(m_home->path("Desktop/a 2.mp3")), QByteArray("A"));

    // A format Serato DJ Pro does not play: the notice follows the report.
    selectRows(m_c->table(), {0, 2});
    m_c->doCopy();
    QVERIFY(done.wait(10000));
    QCOMPARE(m_c->statusLabel()->text(),
             QStringLiteral("已复制 2 个文件到桌面（原文件保留在原位置）　注意：m4v 不是 Serato DJ Pro 支持的格式，拖进去可能无法播放（复制不受影响）"));
    QVERIFY(m_c->prog()->isHidden());
}

void tst_ResultActions::openWithTheDefaultApplication_data()
{
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QList<int>>("opened");
    QTest::newRow("every file has its application") << QList<int>{2, 0} << QStringLiteral("已用系统默认应用打开 2 个文件") << QList<int>{0, 2};
    QTest::newRow("a type no application opens")
        << QList<int>{0, 1, 3} << QStringLiteral("打开 1 个成功、2 个失败：notes.qlx：没有可以打开此类文件的应用程序") << QList<int>{0};
}

void tst_ResultActions::openWithTheDefaultApplication()
{
    QFETCH(QList<int>, rows);
    QFETCH(QString, status);
    QFETCH(QList<int>, opened);
    const QList<QByteArray> files{m_home->write("music/b.mp3", "ID3"), m_home->write("music/notes.qlx", "notes"),
                                  m_home->write("music/青 c.mp3", "ID3"), m_home->write("music/gone.mp3", "ID3")};
    m_home->remove("music/gone.mp3");
    for (const QByteArray &f : files)
        m_c->appendItems({item(f)});
    selectRows(m_c->table(), rows);
    m_c->setStatus(QStringLiteral("before"));
    m_c->doOpenDefault();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("before"));
    QTRY_COMPARE(m_c->statusLabel()->text(), status);
    QList<QByteArray> expected;
    for (int i : opened)
        expected.append(files[i]);
    std::sort(expected.begin(), expected.end());
    const QByteArray record = m_xdg->path("opened");
    const auto got = [&] { // the launches may end in any order
        QList<QByteArray> lines = TreeFixture::readFile(record).split('\n');
        lines.removeAll(QByteArray());
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    QTRY_COMPARE(got(), expected);
    unlink(record.constData());
}

void tst_ResultActions::openWithAPlayer()
{
    const QByteArray record = m_home->path("args");
    const QByteArray script = m_home->recorder("bin/player", record, '\n');
    m_home->write("data/applications/mixxx.desktop", "[Desktop Entry]\nType=Application\nName=Mixxx\nExec=" + script + " %F\n");
    QLPlayerTarget mixxx;
    mixxx.setName(QStringLiteral("Mixxx"));
    mixxx.setIsDJ(true);
    mixxx.setBundlePath(m_home->path("data/applications/mixxx.desktop"));

    m_c->appendItems({item("/m/a.mp3"), item("/m/b.mp3")});
    m_c->table()->selectAll();
    m_c->doOpenWithPlayer(mixxx);
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已用「Mixxx」打开 2 个文件"));
    QTRY_COMPARE(TreeFixture::readFile(record), QByteArray("/m/a.mp3\n/m/b.mp3\n"));

    QLPlayerTarget gone = mixxx;
    gone.setName(QStringLiteral("VLC"));
    gone.setBundlePath(m_home->path("data/applications/missing.desktop"));
    m_c->doOpenWithPlayer(gone);
    QCOMPARE(m_c->statusLabel()->text(),
             QStringLiteral("「VLC」不接受直接打开，已为你前置窗口——请把文件拖进去。原因：%1（「VLC」可能只接受拖拽方式，请把它拖到曲库/播放列表区域）")
                 .arg(QLPlatform::errorText(ENOENT)));
}

void tst_ResultActions::selectAll()
{
    m_c->setStatus(QStringLiteral("before"));
    m_c->selectAllRows();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("before")); // an empty list: nothing to summarise
    m_c->appendItems({item("/m/one.mp3", 2048)});
    m_c->selectAllRows();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("one.mp3 · 2.0 KB · /m/one.mp3"));
    m_c->appendItems({item("/m/two.flac", 1024), item("/m/three.wav", 1024)});
    m_c->selectAllRows();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已选 3 项，共 4.0 KB —— 可整批拖到播放器或桌面"));
    QCOMPARE(m_c->selectedItems().size(), 3);
}

void tst_ResultActions::exportFile()
{
    m_c->appendItems({item("/m/a.mp3", 1536), item("/m/\xc7\xe0 b.flac", 0), item("/m/tab\there.wav", 1048576)});
    m_c->kwField()->setText(QStringLiteral("live"));
    const QByteArray target = m_home->path("list.txt");
    QString title, proposed;
    m_c->setSavePanel([&](QWidget *, const QString &t, const QString &p) {
        title = t;
        proposed = p;
        return QString::fromUtf8(target);
    });
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    m_c->doExport();
    QCOMPARE(title, QStringLiteral("导出搜索结果清单"));
    QVERIFY(QRegularExpression(QStringLiteral("^青鸾寻曲-结果-(\\d+)\\.txt$")).match(proposed).hasMatch());
    QVERIFY(proposed.mid(8).chopped(4).toLongLong() >= before);
    const QByteArray text = TreeFixture::readFile(target);
    const QList<QByteArray> lines = text.split('\n');
    QCOMPARE(lines.size(), 9); // eight lines, each ending in a line feed
    QCOMPARE(lines[0], QStringLiteral("青鸾寻曲 搜索结果清单").toUtf8());
    QVERIFY(QRegularExpression(QStringLiteral("^导出时间：\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$"))
                .match(QString::fromUtf8(lines[1])).hasMatch());
    QCOMPARE(lines[2], QStringLiteral("关键词：live\u3000类型：全部类型\u3000共 3 个").toUtf8());
    QCOMPARE(lines[3], QByteArray(44, '-'));
    QCOMPARE(lines[4], QByteArray());
    QCOMPARE(lines[5], QByteArray("a.mp3\t1.5 KB\t/m/a.mp3"));
    QCOMPARE(lines[6], QByteArray("\xc7\xe0 b.flac\t0 B\t/m/\xc7\xe0 b.flac"));
    QCOMPARE(lines[7], QByteArray("tab\there.wav\t1.0 MB\t/m/tab\there.wav"));
    QCOMPARE(lines[8], QByteArray());
    QVERIFY(!text.contains('\r'));
    QVERIFY(!text.startsWith("\xef\xbb\xbf"));
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已导出 3 条结果到 %1").arg(QString::fromUtf8(target)));
    QTRY_COMPARE(m_fm.calls, QList<QStringList>{{QString::fromUtf8(QLPlatform::fileUri(target))}});
}

void tst_ResultActions::exportEdgeCases()
{
    int panels = 0;
    QString chosen;
    m_c->setSavePanel([&](QWidget *, const QString &, const QString &) {
        ++panels;
        return chosen;
    });
    m_c->doExport();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("当前没有可导出的搜索结果"));
    QCOMPARE(panels, 0);

    m_c->appendItems({item("/m/a.mp3")});
    m_c->kindPop()->setCurrentIndex(5);
    m_c->setStatus(QStringLiteral("before"));
    m_c->doExport(); // cancelled: nothing written, status unchanged
    QCOMPARE(panels, 1);
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("before"));

    // Written, but nothing can show it: the report says both.
    QVERIFY(m_fm.unregister());
    chosen = QString::fromUtf8(m_home->path("empty-keyword.txt"));
    m_c->doExport();
    const QList<QByteArray> lines = TreeFixture::readFile(m_home->path("empty-keyword.txt")).split('\n');
    QCOMPARE(lines[2], QStringLiteral("关键词：(空)\u3000类型：视频(MP4/M4V/MOV)\u3000共 1 个").toUtf8());
    QTRY_COMPARE(m_c->statusLabel()->text(),
                 QStringLiteral("已导出 1 条结果到 %1（无法在文件管理器中显示：没有文件管理器响应，也没有可以打开文件夹的应用程序）").arg(chosen));
}

void tst_ResultActions::exportFailureKeepsTheOldFile()
{
    // The folder is not writable for the user (the test drops to nobody for this).
    const QByteArray dir = m_home->dir("locked");
    m_home->chmod("", 0755);
    const QByteArray target = dir + "/list.txt";
    TreeFixture::writeFile(target, "old list\n");
    QLSearchWindowController *c = m_c.get();
    c->appendItems({item("/m/a.mp3")});
    const QByteArray out = TreeFixture::runInChild([&](int fd) {
        c->setSavePanel([&](QWidget *, const QString &, const QString &) { return QString::fromUtf8(target); });
        c->doExport();
        const QByteArray status = c->statusLabel()->text().toUtf8();
        if (write(fd, status.constData(), size_t(status.size())) < 0)
            _exit(4);
    });
    QCOMPARE(out, QStringLiteral("导出失败：没有权限").toUtf8());
    QCOMPARE(TreeFixture::readFile(target), QByteArray("old list\n"));
}

void tst_ResultActions::contextMenu()
{
    const QStringList base{QStringLiteral("播放（系统默认应用）"), QStringLiteral("试听"), QStringLiteral("在文件管理器中显示"), QStringLiteral("复制到桌面"),
                           QStringLiteral("---"), QStringLiteral("复制完整路径")};
    m_c->setPlayers({});
    QCOMPARE(menuTitles(m_c->contextMenu()), base);

    QLPlayerTarget mixxx;
    mixxx.setName(QStringLiteral("Mixxx"));
    mixxx.setIsDJ(true);
    m_c->setPlayers({mixxx});
    QCOMPARE(menuTitles(m_c->contextMenu()), base + (QStringList{QStringLiteral("---"), QStringLiteral("用播放器打开")}));
    const QMenu *sub = m_c->contextMenu()->actions().last()->menu();
    QVERIFY(sub);
    QCOMPARE(sub->title(), QStringLiteral("用播放器打开"));
    QCOMPARE(menuTitles(sub), QStringList{QStringLiteral("Mixxx")});
    QCOMPARE(sub->actions()[0]->data().value<QLPlayerTarget>(), mixxx);
    for (const QAction *a : m_c->contextMenu()->actions())
        QVERIFY(a->shortcut().isEmpty());

    // A secondary click on another row leaves the selection as it was.
    m_c->appendItems({item("/m/x.mp3"), item("/m/y.mp3")});
    m_c->showAndFocus();
    QVERIFY(QTest::qWaitForWindowExposed(m_c->window()));
    selectRows(m_c->table(), {0});
    QTest::mouseClick(m_c->table()->viewport(), Qt::RightButton, {}, m_c->table()->visualRect(m_c->table()->model()->index(1, 0)).center());
    QCOMPARE(m_c->selectedItems().size(), 1);
    QCOMPARE(m_c->selectedItems()[0]->name(), QStringLiteral("x.mp3"));
    m_c->table()->clearSelection();

    // Each item runs its action on the selection.
    m_c->appendItems({item("/m/a.mp3")});
    m_c->setStatus(QStringLiteral("x"));
    m_c->contextMenu()->actions()[5]->trigger();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("请先在列表里选中文件"));
    m_c->table()->selectAll();
    m_c->contextMenu()->actions()[5]->trigger();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已复制 3 个文件的完整路径到剪贴板"));
}

void tst_ResultActions::dragData()
{
    m_c->appendItems({item("/m/a b/青鸾 寻曲.mp3"), item(""), item("/m/\xc7\xe0.wav")});
    const QAbstractItemModel *model = m_c->table()->model();
    std::unique_ptr<QMimeData> mime(model->mimeData({model->index(0, 0), model->index(1, 0), model->index(2, 5), model->index(2, 0)}));
    QCOMPARE(mime->urls().size(), 2); // the row without a path contributes nothing, a row's cells one file
    QCOMPARE(mime->urls()[0].toEncoded(), QByteArray("file:///m/a%20b/%E9%9D%92%E9%B8%BE%20%E5%AF%BB%E6%9B%B2.mp3"));
    QCOMPARE(mime->urls()[1].toEncoded(), QByteArray("file:///m/%C7%E0.wav"));
    QCOMPARE(mime->text().split(QLatin1Char('\n')).first(), QStringLiteral("/m/a b/青鸾 寻曲.mp3"));
    QCOMPARE(QLDraggableTableView::sourceOperationMask(), Qt::CopyAction | Qt::LinkAction);
    QCOMPARE(model->supportedDragActions(), Qt::CopyAction | Qt::LinkAction);
    QVERIFY(!(QLDraggableTableView::sourceOperationMask() & Qt::MoveAction));
    QVERIFY(!m_c->table()->acceptDrops());
    QCOMPARE(m_c->table()->dragDropMode(), QAbstractItemView::DragOnly);
}

void tst_ResultActions::dragHint()
{
    m_c->showAndFocus();
    QVERIFY(QTest::qWaitForWindowExposed(m_c->window()));
    m_c->setPlayers({});
    QVERIFY(m_c->dragHint()->isHidden());
    Q_EMIT m_c->table()->dragStarted(1);
    QCOMPARE(m_c->dragHintLabel()->text(),
             QStringLiteral("正在拖动 1 个文件 → 拖到文件夹/桌面即复制，拖到「目标文件夹 / 播放器」即上碟"));
    QVERIFY(m_c->dragHint()->isVisible());
    const QRect g = m_c->dragHint()->geometry();
    QCOMPARE(g.top(), 70);
    QCOMPARE(g.height(), 34);
    QVERIFY(std::abs(g.center().x() - m_c->window()->centralWidget()->width() / 2) <= 1);
    QVERIFY(m_c->dragHintLabel()->geometry().left() >= 12);
    Q_EMIT m_c->table()->dragEnded();
    QVERIFY(m_c->dragHint()->isHidden());

    QLPlayerTarget vlc, mixxx;
    vlc.setName(QStringLiteral("VLC"));
    mixxx.setName(QStringLiteral("Mixxx"));
    mixxx.setIsDJ(true);
    m_c->setPlayers({vlc, mixxx});
    Q_EMIT m_c->table()->dragStarted(12);
    QCOMPARE(m_c->dragHintLabel()->text(), QStringLiteral("正在拖动 12 个文件 → 拖到文件夹/桌面即复制，拖到「Mixxx」即上碟"));
    Q_EMIT m_c->table()->dragEnded();
    QCOMPARE(m_c->dragHintLabel()->text(), QStringLiteral("正在拖动 12 个文件 → 拖到文件夹/桌面即复制，拖到「Mixxx」即上碟"));
}

QTEST_MAIN(tst_ResultActions)
#include "tst_resultactions.moc"
