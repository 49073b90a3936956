#include "treefixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <signal.h>
#include <sys/stat.h>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run qlfind(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(QLFIND_PATH), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

QString s(const QByteArray &b)
{
    return QString::fromUtf8(b);
}

} // namespace

class tst_Qlfind final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void usageErrors_data();
    void usageErrors();
    void kindsAndFilters_data();
    void kindsAndFilters();
    void pathsAreWrittenAsBytes();
    void json();
    void progress();
    void interruptPrintsWhatWasFound();
};

void tst_Qlfind::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--colour")} << QStringLiteral("--colour");
    QTest::newRow("bad number") << QStringList{QStringLiteral("--limit"), QStringLiteral("ten")} << QStringLiteral("ten");
    QTest::newRow("bad mask") << QStringList{QStringLiteral("--kinds"), QStringLiteral("0xZZ")} << QStringLiteral("0xZZ");
    QTest::newRow("missing value") << QStringList{QStringLiteral("--root")} << QStringLiteral("--root");
    QTest::newRow("root is missing") << QStringList{QStringLiteral("--root"), QStringLiteral("/no/such/dir")}
                                     << QStringLiteral("/no/such/dir");
    QTest::newRow("two keywords") << QStringList{QStringLiteral("a"), QStringLiteral("b")} << QStringLiteral("keyword");
}

void tst_Qlfind::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, mentions);
    const Run r = qlfind(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.out.isEmpty());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(s(r.err).contains(mentions), r.err.constData());
}

void tst_Qlfind::kindsAndFilters_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected");
    const QStringList none;
    QTest::newRow("all") << none << QStringList{QStringLiteral("a.mp3"), QStringLiteral("b.MOV"), QStringLiteral("c.aif"),
                                                QStringLiteral("d.flac"), QStringLiteral("e.m4a")};
    QTest::newRow("wav-aiff") << QStringList{QStringLiteral("--kind=wav-aiff")} << QStringList{QStringLiteral("c.aif")};
    QTest::newRow("mask overrides kind") << QStringList{QStringLiteral("--kind"), QStringLiteral("mp3"), QStringLiteral("--kinds"),
                                                        QStringLiteral("0x84")}
                                         << QStringList{QStringLiteral("d.flac"), QStringLiteral("e.m4a")};
    QTest::newRow("keyword") << QStringList{QStringLiteral("A.MP")} << QStringList{QStringLiteral("a.mp3")};
    QTest::newRow("min size") << QStringList{QStringLiteral("--min-size"), QStringLiteral("100")}
                              << QStringList{QStringLiteral("d.flac")};
    QTest::newRow("limit") << QStringList{QStringLiteral("--limit"), QStringLiteral("2")} << QStringList{QStringLiteral("*2")};
    QTest::newRow("hidden") << QStringList{QStringLiteral("--include-hidden"), QStringLiteral("--kind"), QStringLiteral("m4a")}
                            << QStringList{QStringLiteral(".h/f.m4a"), QStringLiteral("e.m4a")};
}

void tst_Qlfind::kindsAndFilters()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);
    TreeFixture t;
    t.files({"a.mp3", "b.MOV", "c.aif", "e.m4a", ".h/f.m4a", "g.txt"});
    t.file("d.flac", 200);
    const Run r = qlfind(QStringList{QStringLiteral("--no-index"), QStringLiteral("--root"), s(t.root())} + args);
    QCOMPARE(r.exitCode, 0);
    QStringList got;
    for (const QByteArray &line : r.out.split('\n')) {
        if (!line.isEmpty())
            got.append(s(line.mid(t.root().size() + 1)));
    }
    got.sort();
    if (expected.size() == 1 && expected[0].startsWith(QLatin1Char('*')))
        QCOMPARE(got.size(), expected[0].mid(1).toInt());
    else
        QCOMPARE(got, expected);
}

void tst_Qlfind::pathsAreWrittenAsBytes()
{
    TreeFixture t;
    const QByteArray gbk = t.file("\xc7\xe0\xc4\xf1.mp3");
    const QByteArray nl = t.file("two\nlines.mp3");
    const Run r = qlfind({QStringLiteral("--no-index"), QStringLiteral("-0"), QStringLiteral("--root"), s(t.root())});
    QCOMPARE(r.exitCode, 0);
    QList<QByteArray> got = r.out.split('\0');
    QCOMPARE(got.takeLast(), QByteArray()); // every path ends with NUL
    std::sort(got.begin(), got.end());
    QList<QByteArray> expected{gbk, nl};
    std::sort(expected.begin(), expected.end());
    QCOMPARE(got, expected);
}

void tst_Qlfind::json()
{
    TreeFixture t;
    t.file("x/Song \"1\".MP3", 1234);
    t.setMTime("x/Song \"1\".MP3", 1600000000);
    t.file("\xff.wav");
    const Run r = qlfind({QStringLiteral("--no-index"), QStringLiteral("--json"), QStringLiteral("--root"), s(t.root())});
    QCOMPARE(r.exitCode, 0);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    for (const QByteArray &line : lines) {
        QJsonParseError e;
        const QJsonObject o = QJsonDocument::fromJson(line, &e).object();
        QCOMPARE(e.error, QJsonParseError::NoError);
        QCOMPARE(o.keys(), (QStringList{QStringLiteral("ext"), QStringLiteral("modified"), QStringLiteral("name"),
                                        QStringLiteral("origin"), QStringLiteral("path"), QStringLiteral("size"),
                                        QStringLiteral("volume")}));
        QCOMPARE(o[QStringLiteral("origin")].toString(), QStringLiteral("walk"));
        if (o[QStringLiteral("ext")].toString() == QLatin1String("mp3")) {
            QCOMPARE(o[QStringLiteral("name")].toString(), QStringLiteral("Song \"1\".MP3"));
            QCOMPARE(o[QStringLiteral("path")].toString(), s(t.path("x/Song \"1\".MP3")));
            QCOMPARE(o[QStringLiteral("size")].toInteger(), 1234);
            QCOMPARE(o[QStringLiteral("modified")].toInteger(), 1600000000);
            QCOMPARE(o[QStringLiteral("volume")].toString(), QStringLiteral("本机"));
        } else {
            QCOMPARE(o[QStringLiteral("name")].toString(), QString(QChar(0xFFFD)) + QStringLiteral(".wav"));
        }
    }
}

void tst_Qlfind::progress()
{
    TreeFixture t;
    for (int i = 0; i < 450; ++i)
        t.dir("d" + QByteArray::number(i));
    const Run r = qlfind({QStringLiteral("--no-index"), QStringLiteral("--progress"), QStringLiteral("--root"), s(t.root())});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = s(r.err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith(QStringLiteral("正在扫描第 200 个目录：d")));
    QVERIFY(lines[1].startsWith(QStringLiteral("正在扫描第 400 个目录：d")));
    QCOMPARE(lines[2], QStringLiteral("正在扫描第 450 个目录：并入索引结果…"));
}

void tst_Qlfind::interruptPrintsWhatWasFound()
{
    // The index program never ends, so the search is certain to be running when Ctrl-C
    // arrives.
    TreeFixture t;
    t.files({"a.mp3", "b.flac"});
    const QByteArray tool = t.write("tool", "#!/bin/sh\nexec sleep 600\n", true);
    QProcess p;
    p.start(QStringLiteral(QLFIND_PATH), {QStringLiteral("--index-tool"), s(tool), QStringLiteral("--root"), s(t.root())});
    QVERIFY(p.waitForStarted());
    QTest::qWait(1000);
    QVERIFY2(p.state() == QProcess::Running, "the search waits on the index tool");
    kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);
    QList<QByteArray> got = p.readAllStandardOutput().split('\n');
    got.removeAll(QByteArray());
    std::sort(got.begin(), got.end());
    QCOMPARE(got, (QList<QByteArray>{t.path("a.mp3"), t.path("b.flac")}));
}

QTEST_GUILESS_MAIN(tst_Qlfind)
#include "tst_qlfind.moc"
