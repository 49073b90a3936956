#include "indexquery.h"
#include "pathutil.h"
#include "qlmediasearch.h"
#include "qlplatform.h"
#include "treefixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <memory>
#include <unistd.h>

using Paths = QList<QByteArray>;
using Origins = QMap<QByteArray, QString>; // file name -> origin

namespace {

QByteArray fakeTool(TreeFixture &t, const QByteArray &body)
{
    return t.write("tool", "#!/bin/sh\n" + body + "\n", true);
}

// The hits' origins by file name; calls counts the hits announced.
Origins search(const QLSearchOptions &o, int *calls = nullptr, QList<QLMediaItemPtr> *items = nullptr)
{
    int n = 0;
    const QList<QLMediaItemPtr> hits = QLMediaSearch::searchWithOptions(o, [&](const QLMediaItemPtr &) { ++n; }, {}, {});
    Origins out;
    for (const QLMediaItemPtr &i : hits)
        out.insert(i->fileNameBytes(), i->origin());
    if (calls)
        *calls = n;
    if (items)
        *items = hits;
    return out;
}

QLSearchOptions under(const QByteArray &root)
{
    QLSearchOptions o;
    o.setRoots({root});
    return o;
}

} // namespace

class tst_Index final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { m_tree.reset(); }
    void queryText();
    void noClauseStartsNoProcess();
    void merge_data();
    void merge();
    void keywordIsNeverAPattern_data();
    void keywordIsNeverAPattern();
    void acceptanceTestStillApplies();
    void toolOutput_data();
    void toolOutput();
    void stopEndsAToolThatNeverExits();

private:
    // One tree and one plocate database of it for every test that needs a real index.
    std::unique_ptr<TreeFixture> m_tree;
    QByteArray m_db;
};

void tst_Index::initTestCase()
{
    m_tree = std::make_unique<TreeFixture>();
    TreeFixture &t = *m_tree;
    t.files({"music/walked.mp3", "music/Caches/cached.flac", "music/.hidden.wav", "music/.secret/inner.mp3",
             "music/Player.app/jingle.mp3", "music/gone.mp3", "music/notes.txt", "music/line\nbreak.mp3",
             "music Archive/b.mp3", "elsewhere/outside.mp3"});
    t.dir("music/folder.mp3");
    t.fifo("music/pipe.mp3");
    // The index matches bytes; names from a Mac disk are decomposed, others composed.
    t.files({"accents/cafe\xcc\x81.flac", "accents/Caches/cafe\xcc\x81 live.mp3", "accents/Caches/caf\xc3\xa9 set.wav"});
    for (const char *f : {"a.b.mp3", "axb.mp3", "[x] set.mp3", "x set.mp3", "a*b live.mp3", "ab.mp3", "q(.)q.flac",
                                "qq.flac", "back\\n.wav", "-rf.mp3", "LOUD.MP3", "loud.txt", "青柚乐队 海屿你.flac", "[x].txt",
                                "a\xffset.mp3", "b\xfeset.mp3"})
        t.file(QByteArray("patterns/") + f);
    // The empty prune options override /etc/updatedb.conf, which would leave /tmp out.
    m_db = t.path("plocate.db");
    QCOMPARE(QProcess::execute(QStringLiteral("updatedb"),
                               {QStringLiteral("-l"), QStringLiteral("0"), QStringLiteral("-U"), QString::fromUtf8(t.root()),
                                QStringLiteral("-o"), QString::fromUtf8(m_db), QStringLiteral("--prunefs"), QString(),
                                QStringLiteral("--prunepaths"), QString(), QStringLiteral("--prunenames"), QString()}),
             0);
    t.remove("music/gone.mp3"); // deleted since it was indexed
}

void tst_Index::queryText()
{
    // The query of macOS's index: the wanted extensions in table order, grouped, and the
    // keyword as typed.
    QLSearchOptions o;
    o.setKinds(QLKindWAV | QLKindAIFF);
    o.setKeyword(QStringLiteral(" O'Neil* "));
    QCOMPARE(QLMediaSearch::spotlightQueryForOptions(o),
             QStringLiteral("((kMDItemFSName == '*.wav'cd || kMDItemFSName == '*.aiff'cd || kMDItemFSName == '*.aif'cd)) && "
                            "kMDItemFSName == '* O'Neil* *'cd"));
    // plocate's: a keyword too short for its trigram index goes into a regular expression.
    o.setKeyword(QStringLiteral("a."));
    QCOMPARE(qlIndexRuns(QLPlatform::FileNameIndex::Language::Locate, {QStringLiteral("mp3")}, o).first().args.last(),
             QByteArray("a\\."));
}

void tst_Index::noClauseStartsNoProcess()
{
    TreeFixture t;
    t.file("a.m4b");
    const QByteArray mark = t.path("ran");
    QLSearchOptions o = under(t.root());
    o.setIndexTool(fakeTool(t, "touch '" + mark + "'; printf '%s\\0' '" + t.path("a.m4b") + "'"));
    o.setKinds(0);
    QVERIFY(QLMediaSearch::spotlightPathsForOptions(o).isEmpty());
    QVERIFY(access(mark.constData(), F_OK) != 0);
    // m4b has no clause: the index never supplies it, whatever the tool prints.
    o.setKinds(QLKindM4A);
    QCOMPARE(search(o), (Origins{{"a.m4b", QStringLiteral("walk")}}));
}

void tst_Index::merge_data()
{
    QTest::addColumn<QByteArray>("root");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<Origins>("expected");
    const QString both = QStringLiteral("both");
    const QString spotlight = QStringLiteral("spotlight");
    // Caches and packages are left to the index. The root is a plain prefix: music admits
    // "music Archive".
    Origins music = {{"walked.mp3", both}, {"line\nbreak.mp3", both}, {"cached.flac", spotlight},
                     {"jingle.mp3", spotlight}, {"b.mp3", spotlight}};
    if (!QLPlatform::searchFolderRules().indexListsHidden) {
        // Spotlight leaves hidden folders out by itself; what it lists is taken. (plocate
        // lists them, so there the engine drops them as the walk does.)
        music.insert(".hidden.wav", spotlight);
        music.insert("inner.mp3", spotlight);
    }
    QTest::newRow("a real database") << QByteArray("music") << QString() << music;
    const Origins cafe = {{"cafe\xcc\x81.flac", both}, {"cafe\xcc\x81 live.mp3", spotlight}, {"caf\xc3\xa9 set.wav", spotlight}};
    QTest::newRow("keyword typed composed") << QByteArray("accents") << QString::fromUtf8("caf\xc3\xa9") << cafe;
    QTest::newRow("keyword typed decomposed") << QByteArray("accents") << QString::fromUtf8("cafe\xcc\x81") << cafe;
}

void tst_Index::merge()
{
    QFETCH(QByteArray, root);
    QFETCH(QString, keyword);
    QFETCH(Origins, expected);
    QLSearchOptions o = under(m_tree->path(root));
    o.setKeyword(keyword);
    o.setIndexDatabase(m_db);
    int calls = 0;
    QList<QLMediaItemPtr> items;
    QCOMPARE(search(o, &calls, &items), expected);
    QCOMPARE(calls, items.size()); // "both" is not announced a second time
    // Walk hits come first, in acceptance order; index-only hits follow.
    QList<bool> fromIndex;
    for (const QLMediaItemPtr &i : items)
        fromIndex.append(i->originCode() == QLMediaItem::Origin::Spotlight);
    QVERIFY(std::is_sorted(fromIndex.begin(), fromIndex.end()));
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
    QLSearchOptions o = under(m_tree->path("patterns"));
    if (QByteArrayView(keyword).isValidUtf8())
        o.setKeyword(QString::fromUtf8(keyword));
    else
        o.setByteKeyword(keyword);
    o.setIndexDatabase(m_db);
    Paths names;
    for (const QByteArray &p : QLMediaSearch::spotlightPathsForOptions(o))
        names.append(qlLastPathComponent(p).toByteArray());
    std::sort(names.begin(), names.end());
    QCOMPARE(names, expected);
}

void tst_Index::acceptanceTestStillApplies()
{
    // The tool proposes names its own matching admits: accents ignored, sizes unknown to
    // it. The merge applies the search's own keyword and size tests, and the kind mask.
    TreeFixture t;
    QByteArray list;
    for (const auto &[name, size] : {std::pair{"Café live.mp3", 10}, {"cafe small.mp3", 1}, {"cafe big.mp3", 100}, {"cafe.flac", 100}})
        list += t.file(QByteArray("Caches/") + name, size) + "\\0";
    QLSearchOptions o = under(t.root());
    o.setKeyword(QStringLiteral("cafe"));
    o.setMinSize(50);
    o.setKinds(QLKindMP3);
    o.setIndexTool(fakeTool(t, "printf '" + list + "'"));
    QCOMPARE(search(o), (Origins{{"cafe big.mp3", QStringLiteral("spotlight")}}));
}

void tst_Index::toolOutput_data()
{
    // $R is the root searched; walked.mp3 lies in it, x.mp3 in its Caches folder, where
    // only the index finds it. origins: those of walked.mp3 and x.mp3 ("-": not found).
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<quint64>("limit");
    QTest::addColumn<int>("paths"); // that the index phase takes
    QTest::addColumn<QByteArray>("origins");
    QTest::addColumn<QByteArray>("database"); // given to the tool
    const auto row = [](const char *name, const QByteArray &body, int paths, const char *origins, quint64 limit = 0,
                        const char *database = "") {
        QTest::newRow(name) << body << limit << paths << QByteArray(origins) << QByteArray(database);
    };
    row("each printed twice", "printf '%s\\0' $X $R/walked.mp3 $X $R/walked.mp3", 4, "both spotlight");
    row("no separator after the last", "printf '%s\\0%s' $R/walked.mp3 $X", 2, "both spotlight");
    row("the cap counts only paths under the root",
        "for i in $(seq 30); do printf '%s\\0' /elsewhere/$i.mp3 /tmp/$i.mp3; done\nprintf '%s\\0' $R/walked.mp3 $X", 2,
        "both spotlight", 5);
    row("the cap is twice the limit, which holds for the hits", "for i in $(seq 30); do printf '%s\\0' $R/Caches/$i.mp3; done",
        10, "walk -", 5);
    row("the cap counts only wanted kinds",
        "for i in $(seq 30); do printf '%s\\0' $R/Caches/$i.txt $R/Caches/$i.m4b; done\nprintf '%s\\0' $R/walked.mp3 $X", 2,
        "both spotlight", 5);
    row("exit status 1", "printf '%s\\0' $X; exit 1", 0, "walk -");
    row("garbage", "head -c 200000 /dev/urandom", 0, "walk -");
    row("a flood on standard error", "head -c 5000000 /dev/zero >&2; printf '%s\\0' $X", 1, "walk spotlight");
    row("endless output stops at the cap", "while :; do printf '%s\\0' $X; done", 20000, "walk spotlight");
    row("endless line without separator", "cat /dev/zero | tr '\\0' 'x'", 0, "walk -");
    row("missing tool", {}, 0, "walk -");
    // plocate would wait forever opening a FIFO that nobody writes to: the tool is not run.
    for (const char *db : {"db.fifo", "db.folder", "db.missing"})
        row(db, "printf '%s\\0' $X", 0, "walk -", 0, db);
}

void tst_Index::toolOutput()
{
    QFETCH(QByteArray, body);
    QFETCH(quint64, limit);
    QFETCH(int, paths);
    QFETCH(QByteArray, origins);
    QFETCH(QByteArray, database);
    TreeFixture t;
    t.files({"walked.mp3", "Caches/x.mp3"});
    for (int i = 1; i <= 30; ++i)
        t.file("Caches/" + QByteArray::number(i) + ".mp3");
    t.fifo("db.fifo");
    t.dir("db.folder");
    QLSearchOptions o = under(t.root());
    o.setLimit(limit);
    o.setIndexTool(body.isEmpty() ? t.path("no-such-tool")
                                  : fakeTool(t, "R='" + t.root() + "'\nX=\"$R/Caches/x.mp3\"\n" + body));
    if (!database.isEmpty())
        o.setIndexDatabase(t.path(database));
    QString error;
    QCOMPARE(QLMediaSearch::spotlightPathsForOptions(o, {}, &error).size(), paths);
    QVERIFY2(database.isEmpty() || error.contains(QString::fromUtf8(t.path(database))), qPrintable(error));
    int calls = 0;
    const Origins got = search(o, &calls);
    QCOMPARE(got.value("walked.mp3").toUtf8() + ' ' + got.value("x.mp3", QStringLiteral("-")).toUtf8(), origins);
    QCOMPARE(calls, got.size()); // each hit announced once
    QVERIFY(limit == 0 || quint64(calls) <= limit);
}

void tst_Index::stopEndsAToolThatNeverExits()
{
    TreeFixture t;
    t.files({"a.mp3", "Caches/b.mp3"});
    QLSearchOptions o = under(t.root());
    o.setIndexTool(fakeTool(t, "printf '%s\\0' '" + t.path("Caches/b.mp3") + "'; exec sleep 600"));
    QElapsedTimer timer;
    timer.start();
    const auto hits = QLMediaSearch::searchWithOptions(o, {}, {}, [&] { return timer.elapsed() > 300; });
    QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()).constData());
    QCOMPARE(hits.size(), 1); // the walk's hit; nothing merged after the stop
    QCOMPARE(hits[0]->origin(), QStringLiteral("walk"));
}

QTEST_GUILESS_MAIN(tst_Index)
#include "tst_index.moc"
