#include "pathutil.h"
#include "qlmediasearch.h"
#include "qlplatform.h"
#include "treefixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>
#include <unistd.h>

using Paths = QList<QByteArray>;

namespace {

// A plocate database over the whole tree. The empty prune options override
// /etc/updatedb.conf, which would otherwise leave /tmp out.
QByteArray buildDatabase(const TreeFixture &t)
{
    const QByteArray db = t.root() + ".plocate.db";
    const int rc = QProcess::execute(QStringLiteral("updatedb"),
                                     {QStringLiteral("-l"), QStringLiteral("0"), QStringLiteral("-U"), QString::fromUtf8(t.root()),
                                      QStringLiteral("-o"), QString::fromUtf8(db), QStringLiteral("--prunefs"), QString(),
                                      QStringLiteral("--prunepaths"), QString(), QStringLiteral("--prunenames"), QString()});
    if (rc != 0)
        qFatal("updatedb failed (%d)", rc);
    return db;
}

// A fake index tool: a shell script with the given body.
QByteArray fakeTool(TreeFixture &t, const QByteArray &name, const QByteArray &body)
{
    return t.write(name, "#!/bin/sh\n" + body + "\n", true);
}

struct Outcome
{
    QList<QLMediaItemPtr> items;
    int onItemCalls = 0;
    QMap<QByteArray, QString> originByName; // file name -> origin
};

Outcome search(const QLSearchOptions &o)
{
    Outcome out;
    out.items = QLMediaSearch::searchWithOptions(o, [&](const QLMediaItemPtr &) { ++out.onItemCalls; }, {}, {});
    for (const QLMediaItemPtr &i : out.items)
        out.originByName.insert(i->fileNameBytes(), i->origin());
    return out;
}

Paths names(const Paths &paths)
{
    Paths out;
    for (const QByteArray &p : paths)
        out.append(qlLastPathComponent(p).toByteArray());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

class tst_Index final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void queryText_data();
    void queryText();
    void noClauseStartsNoProcess();
    void mergeWithARealDatabase();
    void rootTestIsAPlainPrefix();
    void keywordIsNeverAPattern_data();
    void keywordIsNeverAPattern();
    void pathCap();
    void acceptanceTestStillApplies();
    void composedAndDecomposedKeywords_data();
    void composedAndDecomposedKeywords();
    void whatTheToolPrints_data();
    void whatTheToolPrints();
    void databaseThatIsNoFileIsRefused_data();
    void databaseThatIsNoFileIsRefused();
    void failingTools_data();
    void failingTools();
    void stopEndsAToolThatNeverExits();
    void cleanupTestCase() { m_patterns.reset(); }

private:
    std::unique_ptr<TreeFixture> m_patterns;
    QByteArray m_patternsDb;
};

void tst_Index::queryText_data()
{
    QTest::addColumn<quint64>("kinds");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("query");
    QTest::newRow("default mask: nine clauses in table order")
        << QLAllKinds << QString()
        << QStringLiteral("(kMDItemFSName == '*.mp3'cd || kMDItemFSName == '*.mp4'cd || kMDItemFSName == '*.m4a'cd || "
                          "kMDItemFSName == '*.wav'cd || kMDItemFSName == '*.aiff'cd || kMDItemFSName == '*.aif'cd || "
                          "kMDItemFSName == '*.m4v'cd || kMDItemFSName == '*.mov'cd || kMDItemFSName == '*.flac'cd)");
    QTest::newRow("mask 4: m4a only") << quint64(4) << QString() << QStringLiteral("(kMDItemFSName == '*.m4a'cd)");
    QTest::newRow("mask 16: aiff then aif")
        << quint64(16) << QString() << QStringLiteral("(kMDItemFSName == '*.aiff'cd || kMDItemFSName == '*.aif'cd)");
    QTest::newRow("mask 0: nothing") << quint64(0) << QStringLiteral("live") << QString();
    QTest::newRow("keyword: doubled parenthesis")
        << quint64(24) << QStringLiteral("live")
        << QStringLiteral("((kMDItemFSName == '*.wav'cd || kMDItemFSName == '*.aiff'cd || kMDItemFSName == '*.aif'cd)) && "
                          "kMDItemFSName == '*live*'cd");
    QTest::newRow("keyword as typed") << quint64(128) << QStringLiteral(" O'Neil* ")
                                      << QStringLiteral("((kMDItemFSName == '*.flac'cd)) && kMDItemFSName == '* O'Neil* *'cd");
}

void tst_Index::queryText()
{
    QFETCH(quint64, kinds);
    QFETCH(QString, keyword);
    QFETCH(QString, query);
    QLSearchOptions o;
    o.setKinds(kinds);
    o.setKeyword(keyword);
    QCOMPARE(QLMediaSearch::spotlightQueryForOptions(o), query);
}

void tst_Index::noClauseStartsNoProcess()
{
    TreeFixture t;
    t.file("a.m4b");
    const QByteArray mark = t.path("ran");
    QLSearchOptions o;
    o.setIndexTool(fakeTool(t, "tool", "touch '" + mark + "'; printf '%s\\0' '" + t.path("a.m4b") + "'"));
    o.setKinds(0);
    QVERIFY(QLMediaSearch::spotlightPathsForOptions(o).isEmpty());
    QVERIFY(access(mark.constData(), F_OK) != 0);
    // m4b has no clause: the index never supplies it, whatever the tool prints.
    o.setKinds(QLKindM4A);
    o.setRoots({t.root()});
    QCOMPARE(search(o).originByName.value("a.m4b"), QStringLiteral("walk"));
}

void tst_Index::mergeWithARealDatabase()
{
    TreeFixture t;
    t.files({"music/walked.mp3", "music/Caches/cached.flac", "music/.hidden.wav", "music/.secret/inner.mp3",
             "music/Player.app/jingle.mp3", "music/gone.mp3", "music/notes.txt", "elsewhere/outside.mp3",
             "music/line\nbreak.mp3"});
    t.dir("music/folder.mp3");
    t.fifo("music/pipe.mp3");
    const QByteArray db = buildDatabase(t);
    t.remove("music/gone.mp3"); // deleted since it was indexed

    QLSearchOptions o;
    o.setRoots({t.path("music")});
    o.setIndexDatabase(db);
    const Outcome r = search(o);
    QCOMPARE(r.onItemCalls, r.items.size()); // "both" is not announced a second time
    QMap<QByteArray, QString> expected = {
        {"walked.mp3", QStringLiteral("both")},
        {"line\nbreak.mp3", QStringLiteral("both")},
        {"cached.flac", QStringLiteral("spotlight")}, // the walk skips Caches
        {"jingle.mp3", QStringLiteral("spotlight")}, // inside a package
    };
    if (!QLPlatform::searchFolderRules().indexListsHidden) {
        // Spotlight leaves hidden folders out by itself; what it lists is taken. (plocate
        // lists them, so there the engine drops them as the walk does.)
        expected.insert(".hidden.wav", QStringLiteral("spotlight"));
        expected.insert("inner.mp3", QStringLiteral("spotlight"));
    }
    QCOMPARE(r.originByName, expected);
    for (const QLMediaItemPtr &i : r.items)
        QCOMPARE(i->volume(), QLMediaSearch::volumeNameForPath(i->path()));

    // Walk hits come first, in acceptance order; index-only hits follow.
    QCOMPARE(r.items.first()->originCode() == QLMediaItem::Origin::Spotlight, false);
    QCOMPARE(r.items.last()->origin(), QStringLiteral("spotlight"));
}

void tst_Index::rootTestIsAPlainPrefix()
{
    TreeFixture t;
    t.files({"Music/a.mp3", "Music Archive/b.mp3", "Other/c.mp3"});
    QLSearchOptions o;
    o.setRoots({t.path("Music")});
    o.setIndexDatabase(buildDatabase(t));
    const Outcome r = search(o);
    QCOMPARE(r.originByName.value("a.mp3"), QStringLiteral("both"));
    QCOMPARE(r.originByName.value("b.mp3"), QStringLiteral("spotlight"));
    QVERIFY(!r.originByName.contains("c.mp3"));
}

void tst_Index::keywordIsNeverAPattern_data()
{
    QTest::addColumn<QByteArray>("keyword");
    QTest::addColumn<Paths>("expected");
    QTest::newRow("dot, three bytes") << QByteArray("a.b") << Paths{"a.b.mp3"};
    QTest::newRow("glob characters") << QByteArray("[x]") << Paths{"[x] set.mp3"};
    QTest::newRow("star, two bytes") << QByteArray("*b") << Paths{"a*b live.mp3"};
    QTest::newRow("regex characters, short") << QByteArray("(.") << Paths{"q(.)q.flac"};
    QTest::newRow("backslash") << QByteArray("\\n") << Paths{"back\\n.wav"};
    QTest::newRow("leading dash") << QByteArray("-rf") << Paths{"-rf.mp3"};
    QTest::newRow("case ignored") << QByteArray("LIVE") << Paths{"a*b live.mp3"};
    QTest::newRow("extension case ignored") << QByteArray("loud") << Paths{"LOUD.MP3"};
    QTest::newRow("Chinese") << QByteArray("海屿") << Paths{"青柚乐队 海屿你.flac"};
    QTest::newRow("bytes that are not UTF-8") << QByteArray("\xffSET") << Paths{"a\xffset.mp3"};
}

void tst_Index::keywordIsNeverAPattern()
{
    QFETCH(QByteArray, keyword);
    QFETCH(Paths, expected);
    if (!m_patterns) { // one tree and database for every row
        m_patterns = std::make_unique<TreeFixture>();
        m_patterns->files({"a.b.mp3", "axb.mp3", "[x] set.mp3", "x set.mp3", "a*b live.mp3", "ab.mp3", "q(.)q.flac",
                           "qq.flac", "back\\n.wav", "-rf.mp3", "LOUD.MP3", "loud.txt", "青柚乐队 海屿你.flac", "[x].txt",
                           "a\xffset.mp3", "b\xfeset.mp3"});
        m_patternsDb = buildDatabase(*m_patterns);
    }
    QLSearchOptions o;
    o.setRoots({m_patterns->root()});
    if (QByteArrayView(keyword).isValidUtf8())
        o.setKeyword(QString::fromUtf8(keyword));
    else
        o.setByteKeyword(keyword);
    o.setIndexDatabase(m_patternsDb);
    QCOMPARE(names(QLMediaSearch::spotlightPathsForOptions(o)), expected);
}

void tst_Index::pathCap()
{
    TreeFixture t;
    for (int i = 0; i < 30; ++i)
        t.file("Caches/" + QByteArray::number(i) + ".mp3");
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setIndexDatabase(buildDatabase(t));
    o.setLimit(5);
    QCOMPARE(QLMediaSearch::spotlightPathsForOptions(o).size(), 10);
    o.setLimit(0);
    QCOMPARE(QLMediaSearch::spotlightPathsForOptions(o).size(), 30);

    // Everything lies in Caches: only the index finds it, and the limit holds.
    o.setLimit(7);
    const Outcome r = search(o);
    QCOMPARE(r.items.size(), 7);
    QCOMPARE(r.onItemCalls, 7);
}

void tst_Index::acceptanceTestStillApplies()
{
    // The tool proposes names its own matching admits: accents ignored, sizes unknown to
    // it. The merge applies the search's own keyword and size tests, and the kind mask.
    TreeFixture t;
    t.file("Caches/Café live.mp3", 10);
    t.file("Caches/cafe small.mp3", 1);
    t.file("Caches/cafe big.mp3", 100);
    t.file("Caches/cafe.flac", 100);
    const QByteArray list = t.path("Caches/Café live.mp3") + "\\0" + t.path("Caches/cafe small.mp3") + "\\0" +
                            t.path("Caches/cafe big.mp3") + "\\0" + t.path("Caches/cafe.flac") + "\\0";
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setKeyword(QStringLiteral("cafe"));
    o.setMinSize(50);
    o.setKinds(QLKindMP3);
    o.setIndexTool(fakeTool(t, "tool", "printf '" + list + "'"));
    QCOMPARE(search(o).originByName, (QMap<QByteArray, QString>{{"cafe big.mp3", QStringLiteral("spotlight")}}));
}

void tst_Index::composedAndDecomposedKeywords_data()
{
    QTest::addColumn<QString>("keyword");
    QTest::newRow("typed composed") << QString::fromUtf8("caf\xc3\xa9");
    QTest::newRow("typed decomposed") << QString::fromUtf8("cafe\xcc\x81");
}

void tst_Index::composedAndDecomposedKeywords()
{
    // The index matches bytes; names from a Mac disk are decomposed, others composed.
    QFETCH(QString, keyword);
    TreeFixture t;
    t.files({"cafe\xcc\x81.flac", "Caches/cafe\xcc\x81 live.mp3", "Caches/caf\xc3\xa9 set.wav"});
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setKeyword(keyword);
    o.setIndexDatabase(buildDatabase(t));
    QCOMPARE(search(o).originByName, (QMap<QByteArray, QString>{{"cafe\xcc\x81.flac", QStringLiteral("both")},
                                                                {"cafe\xcc\x81 live.mp3", QStringLiteral("spotlight")},
                                                                {"caf\xc3\xa9 set.wav", QStringLiteral("spotlight")}}));
}

void tst_Index::whatTheToolPrints_data()
{
    // $R is the root searched; walked.mp3 lies in it, x.mp3 in its Caches folder (index only).
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<quint64>("limit");
    QTest::newRow("each printed twice") << QByteArray("printf '%s\\0' $R/Caches/x.mp3 $R/walked.mp3 $R/Caches/x.mp3 $R/walked.mp3")
                                        << quint64(0);
    QTest::newRow("no separator after the last") << QByteArray("printf '%s\\0%s' $R/walked.mp3 $R/Caches/x.mp3")
                                                 << quint64(0);
    QTest::newRow("cap counts only paths under the root")
        << QByteArray("for i in $(seq 30); do printf '%s\\0' /elsewhere/$i.mp3 /tmp/$i.mp3; done\n"
                      "printf '%s\\0' $R/walked.mp3 $R/Caches/x.mp3")
        << quint64(5);
    QTest::newRow("cap counts only wanted kinds")
        << QByteArray("for i in $(seq 30); do printf '%s\\0' $R/Caches/$i.txt $R/Caches/$i.m4b; done\n"
                      "printf '%s\\0' $R/walked.mp3 $R/Caches/x.mp3")
        << quint64(5);
}

void tst_Index::whatTheToolPrints()
{
    QFETCH(QByteArray, body);
    QFETCH(quint64, limit);
    TreeFixture t;
    t.files({"walked.mp3", "Caches/x.mp3"});
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setLimit(limit);
    o.setIndexTool(fakeTool(t, "tool", "R='" + t.root() + "'\n" + body));
    const Outcome r = search(o);
    QCOMPARE(r.originByName, (QMap<QByteArray, QString>{{"walked.mp3", QStringLiteral("both")},
                                                        {"x.mp3", QStringLiteral("spotlight")}}));
    QCOMPARE(r.onItemCalls, 2);
}

void tst_Index::databaseThatIsNoFileIsRefused_data()
{
    QTest::addColumn<QByteArray>("database");
    QTest::newRow("FIFO") << QByteArray("db.fifo");
    QTest::newRow("folder") << QByteArray("db.folder");
    QTest::newRow("missing") << QByteArray("db.missing");
}

void tst_Index::databaseThatIsNoFileIsRefused()
{
    // plocate would wait forever opening a FIFO that nobody writes to.
    QFETCH(QByteArray, database);
    TreeFixture t;
    t.file("a.mp3");
    t.fifo("db.fifo");
    t.dir("db.folder");
    const QByteArray mark = t.path("ran");
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setIndexDatabase(t.path(database));
    o.setIndexTool(fakeTool(t, "tool", "touch '" + mark + "'; printf '%s\\0' '" + t.path("a.mp3") + "'"));
    QString error;
    QVERIFY(QLMediaSearch::spotlightPathsForOptions(o, {}, &error).isEmpty());
    QVERIFY2(error.contains(QString::fromUtf8(t.path(database))), qPrintable(error));
    QElapsedTimer timer;
    timer.start();
    const auto hits = QLMediaSearch::searchWithOptions(o, {}, {}, [&] { return timer.elapsed() > 20000; });
    QCOMPARE(hits.size(), 1); // the walk's hit, kept
    QCOMPARE(hits[0]->origin(), QStringLiteral("walk"));
    QVERIFY(access(mark.constData(), F_OK) != 0);
}

void tst_Index::failingTools_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("expectedPaths");
    // Every tool below prints the path of a real file under the root.
    QTest::newRow("exit status 1") << QByteArray("printf '%s\\0' \"$REAL\"; exit 1") << 0;
    QTest::newRow("garbage") << QByteArray("head -c 200000 /dev/urandom") << 0;
    QTest::newRow("a flood on standard error")
        << QByteArray("head -c 5000000 /dev/zero >&2; printf '%s\\0' \"$REAL\"") << 1;
    QTest::newRow("endless output stops at the cap") << QByteArray("while :; do printf '%s\\0' \"$REAL\"; done") << 20000;
    QTest::newRow("endless line without separator") << QByteArray("cat /dev/zero | tr '\\0' 'x'") << 0;
    QTest::newRow("missing tool") << QByteArray() << 0;
}

void tst_Index::failingTools()
{
    QFETCH(QByteArray, body);
    QFETCH(int, expectedPaths);
    TreeFixture t;
    const QByteArray real = t.file("Caches/real.mp3");
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setIndexTool(body.isEmpty() ? t.path("no-such-tool") : fakeTool(t, "tool", "REAL='" + real + "'\n" + body));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(QLMediaSearch::spotlightPathsForOptions(o).size(), expectedPaths);
    QVERIFY(timer.elapsed() < 30000);
    // The search returns exactly what the walk found (nothing: the file lies in Caches),
    // or the one real file once.
    QCOMPARE(search(o).items.size(), expectedPaths > 0 ? 1 : 0);
}

void tst_Index::stopEndsAToolThatNeverExits()
{
    TreeFixture t;
    t.file("a.mp3");
    t.file("Caches/b.mp3");
    QLSearchOptions o;
    o.setRoots({t.root()});
    o.setIndexTool(fakeTool(t, "tool", "printf '%s\\0' '" + t.path("Caches/b.mp3") + "'; exec sleep 600"));
    std::atomic<bool> cancel{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel = true;
    });
    QElapsedTimer timer;
    timer.start();
    const auto hits = QLMediaSearch::searchWithOptions(o, {}, {}, [&] { return cancel.load(); });
    stopper.join();
    QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()).constData());
    QCOMPARE(hits.size(), 1); // the walk's hit; nothing merged after the stop
    QCOMPARE(hits[0]->origin(), QStringLiteral("walk"));

}

QTEST_GUILESS_MAIN(tst_Index)
#include "tst_index.moc"
