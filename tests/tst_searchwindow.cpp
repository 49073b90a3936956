#include "qldraggabletableview.h"
#include "qlresultmodel.h"
#include "qlsearchwindowcontroller.h"
#include "treefixture.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

QLMediaItemPtr item(const QByteArray &path, qint64 size, const QString &origin = QStringLiteral("walk"),
                    const QDateTime &modified = {})
{
    auto i = std::make_shared<QLMediaItem>();
    i->setPath(path);
    i->setName(QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1)));
    i->setExt(QString::fromUtf8(path.mid(path.lastIndexOf('.') + 1)).toLower());
    i->setSizeBytes(size);
    i->setModified(modified);
    i->setVolume(QStringLiteral("本机"));
    i->setOrigin(origin);
    return i;
}

QLPlayerTarget player(const QString &name, bool dj)
{
    QLPlayerTarget p;
    p.setName(name);
    p.setIsDJ(dj);
    return p;
}

} // namespace

class tst_SearchWindow final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void batches_data();
    void batches();
    void stopGivesTheStopSuffix();
    void secondRequestWhileSearchingChangesNothing();
    void newSearchEmptiesTheTableAtOnce();
    void kindMasks();
    void cellTexts();
    void selectionSummary();
    void primaryDJName();
    void layout();
    void longTextsLoseTheirMiddle();
    void scopePopUpFollowsTheMounts();

private:
    void searchHome();

    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLSearchWindowController> m_c;
    QByteArray m_oldHome;
};

void tst_SearchWindow::init()
{
    // The fixture is the home folder, so it is one of the roots of the scope pop-up.
    m_home = std::make_unique<TreeFixture>();
    m_oldHome = qgetenv("HOME");
    qputenv("HOME", m_home->root());
    m_c = std::make_unique<QLSearchWindowController>();
    const qsizetype at = m_c->roots().indexOf(m_home->root());
    QVERIFY(at >= 0);
    m_c->rootPop()->setCurrentIndex(int(at) + 1);
}

void tst_SearchWindow::cleanup()
{
    m_c.reset();
    qputenv("HOME", m_oldHome);
    m_home.reset();
}

void tst_SearchWindow::searchHome()
{
    QSignalSpy finished(m_c.get(), &QLSearchWindowController::searchFinished);
    m_c->doSearch();
    QVERIFY(finished.wait(60000));
}

void tst_SearchWindow::batches_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<QList<int>>("insertions");
    QTest::newRow("none") << 0 << QList<int>{};
    QTest::newRow("59: all at the end") << 59 << QList<int>{59};
    QTest::newRow("60: one batch") << 60 << QList<int>{60};
    QTest::newRow("61: a batch and the remainder") << 61 << QList<int>{60, 1};
    QTest::newRow("more than 8000: capped") << 8050 << QList<int>{};
}

void tst_SearchWindow::batches()
{
    QFETCH(int, files);
    QFETCH(QList<int>, insertions);
    for (int i = 0; i < files; ++i)
        m_home->file("music/d" + QByteArray::number(i % 7) + "/song " + QByteArray::number(i) + ".mp3");
    m_home->file("music/notes.txt");
    QList<int> got;
    connect(m_c->table()->model(), &QAbstractItemModel::rowsInserted, this,
            [&](const QModelIndex &, int first, int last) { got.append(last - first + 1); });
    searchHome();
    const int expected = std::min(files, 8000);
    QCOMPARE(m_c->table()->model()->rowCount(), expected);
    QCOMPARE(m_c->items().size(), expected);
    if (files <= 61) {
        QCOMPARE(got, insertions);
    } else {
        for (int n : got.first(got.size() - 1))
            QCOMPARE(n, 60);
    }
    const quint64 dirs = files == 0 ? 1 : files < 7 ? 1 + files : 8; // music and its d0..d6
    QCOMPARE(m_c->dirsScanned(), dirs);
    const QRegularExpression summary(QStringLiteral("^完成：找到 %1 个文件，耗时 \\d+\\.\\d 秒，扫描 %2 个目录。选中后拖到播放器或桌面。$")
                                         .arg(expected)
                                         .arg(dirs));
    QVERIFY2(summary.match(m_c->statusLabel()->text()).hasMatch(), qPrintable(m_c->statusLabel()->text()));
    QVERIFY(m_c->searchBtn()->isEnabled());
    QVERIFY(!m_c->stopBtn()->isEnabled());
    QVERIFY(m_c->prog()->isHidden());
    QVERIFY(!m_c->searching());
}

void tst_SearchWindow::stopGivesTheStopSuffix()
{
    for (int i = 0; i < 300; ++i)
        m_home->file("m/" + QByteArray::number(i) + "/a.mp3");
    QSignalSpy finished(m_c.get(), &QLSearchWindowController::searchFinished);
    m_c->doSearch();
    QVERIFY(m_c->searching());
    QVERIFY(!m_c->searchBtn()->isEnabled());
    QVERIFY(m_c->stopBtn()->isEnabled());
    QVERIFY(!m_c->prog()->isHidden());
    m_c->doStop();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("正在停止扫描…"));
    QVERIFY(finished.wait(60000));
    QVERIFY2(m_c->statusLabel()->text().endsWith(QStringLiteral("个目录（已手动停止，结果不完整）。选中后拖到播放器或桌面。")),
             qPrintable(m_c->statusLabel()->text()));
    QVERIFY(m_c->cancelFlag()); // stays set until the next search
}

void tst_SearchWindow::secondRequestWhileSearchingChangesNothing()
{
    m_home->files({"a.mp3", "b.mp3"});
    QSignalSpy resets(m_c->table()->model(), &QAbstractItemModel::modelReset);
    QSignalSpy finished(m_c.get(), &QLSearchWindowController::searchFinished);
    m_c->doSearch();
    m_c->doSearch();
    QTest::keyClick(m_c->kwField(), Qt::Key_Return);
    QCOMPARE(resets.size(), 1);
    QVERIFY(finished.wait(60000));
    QTest::qWait(300);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(m_c->items().size(), 2);
}

void tst_SearchWindow::newSearchEmptiesTheTableAtOnce()
{
    m_home->files({"a.mp3", "b.flac"});
    searchHome();
    QCOMPARE(m_c->table()->model()->rowCount(), 2);
    const QString before = m_c->statusLabel()->text();
    QSignalSpy finished(m_c.get(), &QLSearchWindowController::searchFinished);
    m_c->kwField()->setText(QStringLiteral("FLAC"));
    QTest::keyClick(m_c->kwField(), Qt::Key_Return); // Return in the field searches
    QCOMPARE(m_c->table()->model()->rowCount(), 0);
    QCOMPARE(m_c->statusLabel()->text(), before); // untouched until the first report
    QVERIFY(finished.wait(60000));
    QCOMPARE(m_c->items().size(), 1);
    QCOMPARE(m_c->items()[0]->name(), QStringLiteral("b.flac"));

    // Typing and choosing pop-up items alone start nothing.
    QTest::keyClicks(m_c->kwField(), QStringLiteral("abc"));
    m_c->kindPop()->setCurrentIndex(3);
    QVERIFY(!m_c->searching());
}

void tst_SearchWindow::kindMasks()
{
    const QList<QPair<QString, quint64>> items = {
        {QStringLiteral("全部类型"), 0xFFFFFFFF}, {QStringLiteral("MP3"), 1}, {QStringLiteral("MP4"), 2},
        {QStringLiteral("M4A"), 4}, {QStringLiteral("WAV/AIFF"), 24}, {QStringLiteral("视频(MP4/M4V/MOV)"), 98},
        {QStringLiteral("FLAC"), 128}};
    QCOMPARE(m_c->kindPop()->count(), items.size());
    for (int i = 0; i < items.size(); ++i) {
        m_c->kindPop()->setCurrentIndex(i);
        QCOMPARE(m_c->kindPop()->currentText(), items[i].first);
        QCOMPARE(m_c->currentKinds(), items[i].second);
    }
    m_c->kindPop()->setCurrentIndex(-1);
    QCOMPARE(m_c->currentKinds(), quint64(0xFFFFFFFF));
}

void tst_SearchWindow::cellTexts()
{
    const QDateTime when(QDate(2024, 3, 5), QTime(7, 8, 9)); // local time
    m_c->appendItems({item("/m/Song.flac", 1536, QStringLiteral("walk"), when.toUTC()),
                      item("/m/idx.m4a", 0, QStringLiteral("spotlight")), item("/m/both.mp3", 1048575, QStringLiteral("both"))});
    const auto *model = static_cast<QLResultModel *>(m_c->table()->model());
    const QStringList row0{QStringLiteral("Song.flac"), QStringLiteral("1.5 KB"), QStringLiteral("FLAC"), QStringLiteral("本机"),
                           QStringLiteral("2024-03-05 07:08"), QStringLiteral("/m/Song.flac")};
    for (int c = 0; c < 6; ++c) {
        QCOMPARE(model->data(model->index(0, c), Qt::DisplayRole).toString(), row0[c]);
        QCOMPARE(model->data(model->index(1, c), Qt::ToolTipRole).toString(), QStringLiteral("/m/idx.m4a"));
    }
    QCOMPARE(model->cellText(1, QLResultModel::Kind), QStringLiteral("M4A"));
    QCOMPARE(model->cellText(1, QLResultModel::Volume), QStringLiteral("本机 (索引)"));
    QCOMPARE(model->cellText(1, QLResultModel::Modified), QString());
    QCOMPARE(model->cellText(1, QLResultModel::Size), QStringLiteral("0 B"));
    QCOMPARE(model->cellText(2, QLResultModel::Volume), QStringLiteral("本机"));
    QCOMPARE(model->cellText(2, QLResultModel::Size), QStringLiteral("1024.0 KB"));
    // The index may still confirm a hit after it was shown.
    m_c->items()[2]->setOrigin(QStringLiteral("spotlight"));
    QCOMPARE(model->cellText(2, QLResultModel::Volume), QStringLiteral("本机 (索引)"));
    QCOMPARE(m_c->table()->textElideMode(), Qt::ElideMiddle);
}

void tst_SearchWindow::selectionSummary()
{
    const qint64 mb = 1024 * 1024;
    m_c->appendItems({item("/m/a.mp3", mb), item("/m/v.m4v", 2 * mb), item("/m/c.wav", 3 * mb)});
    QTableView *t = m_c->table();
    t->selectRow(0);
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("a.mp3 · 1.0 MB · /m/a.mp3"));
    t->selectRow(1);
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("v.m4v · 2.0 MB · /m/v.m4v　⚠ 此格式 Serato 可能不支持"));
    t->selectAll();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已选 3 项，共 6.0 MB —— 可整批拖到播放器或桌面"));
    t->clearSelection();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("已选 3 项，共 6.0 MB —— 可整批拖到播放器或桌面"));
    QCOMPARE(m_c->selectedItems().size(), 0);
}

void tst_SearchWindow::primaryDJName()
{
    m_c->setPlayers({player(QStringLiteral("VLC"), false), player(QStringLiteral("Mixxx"), true), player(QStringLiteral("djay"), true)});
    QCOMPARE(m_c->primaryDJName(), QStringLiteral("Mixxx"));
    m_c->setPlayers({player(QStringLiteral("VLC"), false), player(QStringLiteral("音乐"), false)});
    QCOMPARE(m_c->primaryDJName(), QStringLiteral("VLC"));
    m_c->setPlayers({});
    QCOMPARE(m_c->primaryDJName(), QString());
}

void tst_SearchWindow::layout()
{
    // Long mount paths must not push the top row out of the smallest window.
    const QByteArray longRoot = "/media/dj/" + QByteArray(90, 'x') + "/Sets";
    m_c->setRootsSource([&] { return QList<QByteArray>{"/", longRoot, m_home->root()}; });
    m_c->rootsChanged();
    m_c->rootPop()->setCurrentIndex(2);

    QMainWindow *w = m_c->window();
    QCOMPARE(m_c->statusLabel()->text(), QStringLiteral("就绪。搜索为只读操作，不会改动任何文件。"));
    QVERIFY(m_c->searchBtn()->isEnabled() && !m_c->stopBtn()->isEnabled() && m_c->prog()->isHidden());
    QVERIFY(m_c->searchBtn()->isDefault());
    QCOMPARE(m_c->rootPop()->itemText(0), QStringLiteral("全部磁盘"));
    m_c->showAndFocus();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(m_c->kwField()));
    const QWidget *content = w->centralWidget();
    QCOMPARE(content->size(), QSize(1080, 680));
    const int W = content->width();
    const int H = content->height();
    const auto g = [](const QWidget *x) { return x->geometry(); };
    const auto centreY = [](const QRect &r) { return r.top() + r.height() / 2; };

    // Whatever the pop-ups do with their sizes once their items change, the layout has
    // the last word.
    const QList<QWidget *> controls{m_c->titleLabel(), m_c->kwField(),    m_c->kindPop(), m_c->rootPop(),
                                    m_c->searchBtn(),  m_c->stopBtn(),    m_c->table(),   m_c->prog(),
                                    m_c->statusLabel(), m_c->exportBtn(), m_c->dupBtn(),  m_c->revealBtn()};
    const auto everyControlApart = [&] {
        QTest::qWait(100);
        for (int a = 0; a < controls.size(); ++a) {
            if (!content->rect().contains(g(controls[a])))
                return false;
            for (int b = a + 1; b < controls.size(); ++b) {
                if (g(controls[a]).intersects(g(controls[b])))
                    return false;
            }
        }
        return true;
    };
    QVERIFY(everyControlApart());
    QCOMPARE(g(m_c->titleLabel()).topLeft(), QPoint(16, 14));
    QCOMPARE(g(m_c->kwField()).left(), g(m_c->titleLabel()).right() + 1 + 14);
    QCOMPARE(g(m_c->kwField()).width(), 300);
    QCOMPARE(g(m_c->kindPop()).left(), g(m_c->kwField()).right() + 1 + 8);
    QCOMPARE(g(m_c->rootPop()).left(), g(m_c->kindPop()).right() + 1 + 8);
    QCOMPARE(g(m_c->searchBtn()).left(), g(m_c->rootPop()).right() + 1 + 10);
    QCOMPARE(g(m_c->stopBtn()).left(), g(m_c->searchBtn()).right() + 1 + 6);
    for (const QWidget *x : {(QWidget *)m_c->kwField(), (QWidget *)m_c->kindPop(), (QWidget *)m_c->rootPop(),
                             (QWidget *)m_c->searchBtn(), (QWidget *)m_c->stopBtn()})
        QVERIFY(std::abs(centreY(g(x)) - centreY(g(m_c->titleLabel()))) <= 1);

    QCOMPARE(g(m_c->table()).left(), 16);
    QCOMPARE(g(m_c->table()).right() + 1, W - 16);
    QCOMPARE(g(m_c->table()).top(), g(m_c->kwField()).bottom() + 1 + 14);
    QCOMPARE(g(m_c->table()).bottom() + 1, g(m_c->prog()).top() - 10);
    QCOMPARE(g(m_c->prog()).left(), 16);
    QCOMPARE(g(m_c->prog()).width(), 150);
    QCOMPARE(g(m_c->prog()).bottom() + 1, H - 14);
    QCOMPARE(g(m_c->statusLabel()).left(), 176);
    QCOMPARE(g(m_c->revealBtn()).right() + 1, W - 16);
    QCOMPARE(g(m_c->dupBtn()).right() + 1, g(m_c->revealBtn()).left() - 8);
    QCOMPARE(g(m_c->exportBtn()).right() + 1, g(m_c->dupBtn()).left() - 8);
    QCOMPARE(g(m_c->statusLabel()).right() + 1, g(m_c->exportBtn()).left() - 10);
    QCOMPARE(m_c->revealBtn()->text(), QStringLiteral("在文件管理器中显示"));
    QCOMPARE(m_c->dupBtn()->text(), QStringLiteral("复制到桌面"));
    QCOMPARE(m_c->exportBtn()->text(), QStringLiteral("导出清单"));
    for (const QWidget *x : {(QWidget *)m_c->statusLabel(), (QWidget *)m_c->revealBtn(), (QWidget *)m_c->dupBtn(),
                             (QWidget *)m_c->exportBtn()})
        QVERIFY(std::abs(centreY(g(x)) - centreY(g(m_c->prog()))) <= 1);
    QCOMPARE(m_c->table()->verticalHeader()->defaultSectionSize(), 26);
    QCOMPARE(m_c->table()->verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
    // Tab goes along the bottom row as it stands on the screen.
    QCOMPARE(m_c->exportBtn()->nextInFocusChain(), static_cast<QWidget *>(m_c->dupBtn()));
    QCOMPARE(m_c->dupBtn()->nextInFocusChain(), static_cast<QWidget *>(m_c->revealBtn()));

    // A wider window widens the name column alone.
    const QHeaderView *h = m_c->table()->horizontalHeader();
    QList<int> before;
    for (int c = 0; c < 6; ++c)
        before.append(h->sectionSize(c));
    QCOMPARE(before.mid(1), (QList<int>{86, 64, 130, 140, 360}));
    w->resize(w->width() + 200, w->height() + 50);
    QTRY_COMPARE(content->width(), W + 200);
    QCOMPARE(h->sectionSize(0), before[0] + 200);
    for (int c = 1; c < 6; ++c)
        QCOMPARE(h->sectionSize(c), before[c]);

    // At the smallest size too, every control lies whole inside the window and none
    // overlaps another.
    w->resize(100, 100);
    QTRY_COMPARE(content->size(), QSize(820, 520));
    QVERIFY(everyControlApart());
    QCOMPARE(h->sectionSize(0), 50);
}

void tst_SearchWindow::longTextsLoseTheirMiddle()
{
    m_c->showAndFocus();
    QVERIFY(QTest::qWaitForWindowExposed(m_c->window()));

    // The status line keeps the start and the end (a warning, the full stop) in view and
    // the whole text in the field and its tooltip.
    QLStatusLine *status = m_c->statusLabel();
    const QString warning = QStringLiteral("　⚠ 此格式 Serato 可能不支持");
    const QString text = QStringLiteral("live.ogg · 9.1 MB · /media/dj/") + QString(60, QLatin1Char('x'))
        + QStringLiteral("/live.ogg") + warning;
    m_c->setStatus(text);
    QVERIFY(!status->hasFocus());
    QVERIFY2(status->shownText().startsWith(QStringLiteral("live.ogg · 9.1 MB")), qPrintable(status->shownText()));
    QVERIFY2(status->shownText().endsWith(warning), qPrintable(status->shownText()));
    QVERIFY(status->shownText().contains(QChar(0x2026)));
    QCOMPARE(status->text(), text);
    QCOMPARE(status->toolTip(), text);
    m_c->setStatus(QStringLiteral("就绪"));
    QCOMPARE(status->shownText(), QStringLiteral("就绪"));
    QCOMPARE(status->toolTip(), QString());

    // The keyword field's hint stays as written; where the field cuts it, the tooltip
    // holds it whole.
    QLKeywordField *kw = m_c->kwField();
    const QString hint = QStringLiteral("按文件名过滤，如「青柚乐队」「海屿你」（留空=全部）");
    QCOMPARE(kw->placeholderText(), hint);
    QCOMPARE(kw->toolTip(), kw->hintIsCut() ? hint : QString());
    kw->resize(kw->fontMetrics().horizontalAdvance(hint) + 40, kw->height());
    QVERIFY(!kw->hintIsCut());
    QCOMPARE(kw->toolTip(), QString());

    // A long root shows its start and end; its item's tooltip has the whole path.
    const QByteArray longRoot = "/media/dj/" + QByteArray(90, 'y') + "/Sets";
    m_c->setRootsSource([&] { return QList<QByteArray>{"/", longRoot}; });
    m_c->rootsChanged();
    m_c->rootPop()->setCurrentIndex(2);
    const QString shown = m_c->rootPop()->shownText();
    QVERIFY2(shown.startsWith(QStringLiteral("/media")) && shown.endsWith(QStringLiteral("/Sets")) && shown.contains(QChar(0x2026)),
             qPrintable(shown));
    QCOMPARE(m_c->rootPop()->itemData(2, Qt::ToolTipRole).toString(), QString::fromUtf8(longRoot));
    QCOMPARE(m_c->rootPop()->toolTip(), QString::fromUtf8(longRoot));
}

void tst_SearchWindow::scopePopUpFollowsTheMounts()
{
    // init chose the home folder. A disk comes: the choice stays on the home folder.
    const QByteArray home = m_home->root();
    QList<QByteArray> mounts{"/", "/media/dj/USB", home};
    m_c->setRootsSource([&] { return mounts; });
    m_c->rootsChanged();
    QStringList titles;
    for (int i = 0; i < m_c->rootPop()->count(); ++i)
        titles.append(m_c->rootPop()->itemText(i));
    QCOMPARE(titles, (QStringList{QStringLiteral("全部磁盘"), QStringLiteral("/"), QStringLiteral("/media/dj/USB"),
                                  QString::fromUtf8(home)}));
    QCOMPARE(m_c->roots(), mounts);
    QCOMPARE(m_c->rootPop()->currentText(), QString::fromUtf8(home));

    // The chosen root goes while a search of it runs: the pop-up falls back to all disks,
    // the search finishes over the root it started with.
    m_home->file("a.mp3");
    QSignalSpy finished(m_c.get(), &QLSearchWindowController::searchFinished);
    m_c->doSearch();
    mounts.removeLast();
    m_c->rootsChanged();
    QCOMPARE(m_c->rootPop()->count(), 3);
    QCOMPARE(m_c->rootPop()->currentIndex(), 0);
    QVERIFY(finished.wait(60000));
    QCOMPARE(m_c->items().size(), 1);
    QCOMPARE(m_c->items()[0]->path(), m_home->path("a.mp3"));
}

QTEST_MAIN(tst_SearchWindow)
#include "tst_searchwindow.moc"
