#include "qldraggabletableview.h"
#include "qlsearchwindowcontroller.h"
#include "testitems.h"
#include "treefixture.h"

#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QRegion>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

class tst_SearchWindow final : public QObject
{
    Q_OBJECT

    QString status() const { return m_c->statusLabel()->text(); }

    std::unique_ptr<TreeFixture> m_home;
    std::unique_ptr<QLSearchWindowController> m_c;
    std::unique_ptr<QSignalSpy> m_finished;

private Q_SLOTS:
    void init()
    {
        // The fixture is the home folder, so it is one of the roots of the scope pop-up.
        m_finished.reset();
        m_c.reset();
        m_home = std::make_unique<TreeFixture>();
        qputenv("HOME", m_home->root());
        m_c = std::make_unique<QLSearchWindowController>();
        const qsizetype at = m_c->roots().indexOf(m_home->root());
        QVERIFY(at >= 0);
        m_c->rootPop()->setCurrentIndex(int(at) + 1);
        m_finished = std::make_unique<QSignalSpy>(m_c.get(), &QLSearchWindowController::searchFinished);
    }

    void batches_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QList<int>>("insertions");
        QTest::newRow("none") << 0 << QList<int>{};
        QTest::newRow("59: all at the end") << 59 << QList<int>{59};
        QTest::newRow("60: one batch") << 60 << QList<int>{60};
        QTest::newRow("61: a batch and the remainder") << 61 << QList<int>{60, 1};
        QTest::newRow("more than 8000: capped") << 8050 << (QList<int>(133, 60) << 20);
    }

    void batches()
    {
        QFETCH(int, files);
        QFETCH(QList<int>, insertions);
        for (int i = 0; i < files; ++i)
            m_home->file("music/d" + QByteArray::number(i % 7) + "/song " + QByteArray::number(i) + ".mp3");
        m_home->file("music/notes.txt");
        QList<int> got;
        connect(m_c->table()->model(), &QAbstractItemModel::rowsInserted, this,
                [&](const QModelIndex &, int first, int last) { got.append(last - first + 1); });
        m_c->doSearch();
        QVERIFY(m_finished->wait(60000));
        QCOMPARE(got, insertions);
        const quint64 dirs = files ? 8 : 1; // music and its d0..d6
        QCOMPARE(m_c->dirsScanned(), dirs);
        QVERIFY2(QRegularExpression(QStringLiteral("^完成：找到 %1 个文件，耗时 \\d+\\.\\d 秒，扫描 %2 个目录。选中后拖到播放器或桌面。$")
                                        .arg(std::min(files, 8000)).arg(dirs)).match(status()).hasMatch(), qPrintable(status()));
        QVERIFY(m_c->searchBtn()->isEnabled() && !m_c->stopBtn()->isEnabled() && m_c->prog()->isHidden() && !m_c->searching());
    }

    void stopAndReentry()
    {
        for (int i = 0; i < 300; ++i)
            m_home->file("m/" + QByteArray::number(i) + "/a.mp3");
        m_c->appendItems({item("/old/a.mp3")});
        m_c->setStatus(QStringLiteral("before"));
        QSignalSpy resets(m_c->table()->model(), &QAbstractItemModel::modelReset);
        QTest::keyClick(m_c->kwField(), Qt::Key_Return);
        // The old rows go at once; the status line waits for the search's first report.
        QCOMPARE(m_c->table()->model()->rowCount(), 0);
        QCOMPARE(status(), QStringLiteral("before"));
        QVERIFY(m_c->searching() && !m_c->searchBtn()->isEnabled() && m_c->stopBtn()->isEnabled() && !m_c->prog()->isHidden());
        m_c->doSearch();
        QTest::keyClick(m_c->kwField(), Qt::Key_Return);
        QCOMPARE(resets.size(), 1);

        m_c->doStop();
        QCOMPARE(status(), QStringLiteral("正在停止扫描…"));
        QVERIFY(m_finished->wait(60000));
        QVERIFY2(status().endsWith(QStringLiteral("个目录（已手动停止，结果不完整）。选中后拖到播放器或桌面。")),
                 qPrintable(status()));
        QVERIFY(m_c->cancelFlag()); // stays set until the next search, which runs to its end
        QSignalSpy texts(m_c->statusLabel(), &QLineEdit::textChanged);
        m_c->doSearch();
        QVERIFY(m_finished->wait(60000));
        QCOMPARE(m_c->items().size(), 300);
        QVERIFY(std::any_of(texts.cbegin(), texts.cend(), [](const QList<QVariant> &t) {
            return t[0].toString().contains(QRegularExpression(QStringLiteral("^正在扫描第 200 个目录：.+$")));
        }));

        // Typing and choosing pop-up items alone start nothing.
        QTest::keyClicks(m_c->kwField(), QStringLiteral("abc"));
        m_c->kindPop()->setCurrentIndex(3);
        QVERIFY(!m_c->searching());
    }

    void cellTexts()
    {
        const QDateTime when(QDate(2024, 3, 5), QTime(7, 8, 9)); // local time
        m_c->appendItems({item("/m/Song.flac", 1536, QStringLiteral("walk"), when.toUTC()),
                          item("/m/idx.m4a", 0, QStringLiteral("spotlight")), item("/m/both.mp3", 1048575, QStringLiteral("both"))});
        const QAbstractItemModel *model = m_c->table()->model();
        const auto row = [model](int r, int role = Qt::DisplayRole) {
            QStringList cells;
            for (int c = 0; c < model->columnCount(); ++c)
                cells.append(model->index(r, c).data(role).toString());
            return cells.join(u'|');
        };
        QCOMPARE(row(0), QStringLiteral("Song.flac|1.5 KB|FLAC|本机|2024-03-05 07:08|/m/Song.flac"));
        QCOMPARE(row(1), QStringLiteral("idx.m4a|0 B|M4A|本机 (索引)||/m/idx.m4a"));
        QCOMPARE(row(1, Qt::ToolTipRole), QStringList(6, QStringLiteral("/m/idx.m4a")).join(u'|'));
        QCOMPARE(row(2), QStringLiteral("both.mp3|1024.0 KB|MP3|本机||/m/both.mp3"));
        // The index may still confirm a hit after it was shown.
        m_c->items()[2]->setOrigin(QStringLiteral("spotlight"));
        QCOMPARE(row(2), QStringLiteral("both.mp3|1024.0 KB|MP3|本机 (索引)||/m/both.mp3"));
    }

    void selectionSummary()
    {
        m_c->setStatus(QStringLiteral("before"));
        m_c->selectAllRows();
        QCOMPARE(status(), QStringLiteral("before")); // an empty list: nothing to summarise
        const qint64 mb = 1024 * 1024;
        m_c->appendItems({item("/m/a.mp3", mb), item("/m/v.m4v", 2 * mb), item("/m/c.wav", 3 * mb)});
        m_c->table()->selectRow(0);
        QCOMPARE(status(), QStringLiteral("a.mp3 · 1.0 MB · /m/a.mp3"));
        m_c->table()->selectRow(1);
        QCOMPARE(status(), QStringLiteral("v.m4v · 2.0 MB · /m/v.m4v　⚠ 此格式 Serato 可能不支持"));
        const QString all = QStringLiteral("已选 3 项，共 6.0 MB —— 可整批拖到播放器或桌面");
        m_c->selectAllRows();
        QCOMPARE(status(), all);
        m_c->table()->clearSelection();
        QCOMPARE(status(), all);
    }

    void layout()
    {
        // A long mount path must not push the top row out of the smallest window.
        const QByteArray longRoot = "/media/dj/" + QByteArray(90, 'x') + "/Sets";
        m_c->setRootsSource([&] { return QList<QByteArray>{"/", longRoot, m_home->root()}; });
        m_c->rootsChanged();
        m_c->rootPop()->setCurrentIndex(2);
        QMainWindow *w = m_c->window();
        m_c->showAndFocus();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const QWidget *content = w->centralWidget();
        QCOMPARE(content->size(), QSize(1080, 680));

        // Whatever the pop-ups do with their sizes once their items change, the layout has the
        // last word: every control lies whole inside the window and none overlaps another.
        const QList<QWidget *> controls{m_c->titleLabel(), m_c->kwField(), m_c->kindPop(), m_c->rootPop(), m_c->searchBtn(), m_c->stopBtn(),
                                        m_c->table(), m_c->prog(), m_c->statusLabel(), m_c->exportBtn(), m_c->dupBtn(), m_c->revealBtn()};
        const auto apart = [&] {
            QTest::qWait(100);
            QRegion taken;
            for (const QWidget *c : controls) {
                if (!content->rect().contains(c->geometry()) || taken.intersects(c->geometry()))
                    return false;
                taken += c->geometry();
            }
            return true;
        };
        QVERIFY(apart());
        // A wider window widens the name column alone; the smallest narrows it alone.
        const QHeaderView *h = m_c->table()->horizontalHeader();
        const int name = h->sectionSize(0), others = h->length() - name;
        w->resize(w->width() + 200, w->height() + 50);
        QTRY_COMPARE(content->width(), 1280);
        QCOMPARE(h->sectionSize(0), name + 200);
        QCOMPARE(h->length() - h->sectionSize(0), others);
        w->resize(100, 100);
        QTRY_COMPARE(content->size(), QSize(820, 520));
        QVERIFY(apart());
        QCOMPARE(h->length() - h->sectionSize(0), others);

        // Long texts keep their start and end in view, and are whole in the tooltip: the
        // status line (a warning, the full stop), the scope pop-up, the keyword field's hint.
        QLStatusLine *line = m_c->statusLabel();
        const QString text = QStringLiteral("live.ogg · 9.1 MB · /media/dj/") + QString(60, u'x')
            + QStringLiteral("/live.ogg　⚠ 此格式 Serato 可能不支持");
        m_c->setStatus(text);
        QString shown = line->shownText();
        QVERIFY2(shown.startsWith(QStringLiteral("live.ogg · 9.1 MB")) && shown.endsWith(QStringLiteral("Serato 可能不支持"))
                     && shown.contains(u'…'), qPrintable(shown));
        QCOMPARE(line->toolTip(), text);
        m_c->setStatus(QStringLiteral("就绪"));
        QCOMPARE(line->toolTip(), QString());
        shown = m_c->rootPop()->shownText();
        QVERIFY2(shown.startsWith(QStringLiteral("/media")) && shown.endsWith(QStringLiteral("/Sets")) && shown.contains(u'…'),
                 qPrintable(shown));
        QCOMPARE(m_c->rootPop()->itemData(2, Qt::ToolTipRole).toString(), QString::fromUtf8(longRoot));
        QCOMPARE(m_c->rootPop()->toolTip(), QString::fromUtf8(longRoot));
        QLKeywordField *kw = m_c->kwField();
        const QString hint = QStringLiteral("按文件名过滤，如「青柚乐队」「海屿你」（留空=全部）");
        QCOMPARE(kw->placeholderText(), hint);
        kw->resize(80, kw->height());
        QCOMPARE(kw->toolTip(), hint);
        kw->resize(kw->fontMetrics().horizontalAdvance(hint) + 40, kw->height());
        QCOMPARE(kw->toolTip(), QString());
    }

    void scopePopUpFollowsTheMounts()
    {
        // init chose the home folder. A disk comes: the choice stays on the home folder.
        const QByteArray home = m_home->root();
        QList<QByteArray> mounts{"/", "/media/dj/USB", home};
        m_c->setRootsSource([&] { return mounts; });
        m_c->rootsChanged();
        QStringList titles;
        for (int i = 0; i < m_c->rootPop()->count(); ++i)
            titles.append(m_c->rootPop()->itemText(i));
        QCOMPARE(titles, (QStringList{QStringLiteral("全部磁盘"), QStringLiteral("/"), QStringLiteral("/media/dj/USB"), QString::fromUtf8(home)}));
        QCOMPARE(m_c->rootPop()->currentText(), QString::fromUtf8(home));

        // The chosen root goes while a search of it runs: the pop-up falls back to all disks,
        // the search finishes over the root it started with.
        m_home->file("a.mp3");
        m_c->doSearch();
        mounts.removeLast();
        m_c->rootsChanged();
        QCOMPARE(m_c->rootPop()->count(), 3);
        QCOMPARE(m_c->rootPop()->currentIndex(), 0);
        QVERIFY(m_finished->wait(60000));
        QCOMPARE(m_c->items().size(), 1);
        QCOMPARE(m_c->items()[0]->path(), m_home->path("a.mp3"));
    }
};

QTEST_MAIN(tst_SearchWindow)
#include "tst_searchwindow.moc"
