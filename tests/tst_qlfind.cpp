#include "treefixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// -1 for a program that did not end by itself within 30 s.
Run finished(QProcess &p)
{
    const bool ended = p.waitForFinished(30000);
    if (!ended)
        p.kill();
    const int code = ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return {code, p.readAllStandardOutput(), p.readAllStandardError()};
}

// Runs qlfind, as the unprivileged user nobody when asked (the tests run as root, whom
// permission bits do not stop).
Run qlfind(const QStringList &args, bool asNobody = false)
{
    QProcess p;
    if (asNobody && TreeFixture::isRoot()) {
        p.setChildProcessModifier([] {
            const passwd *pw = getpwnam("nobody");
            if (!pw || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
                _exit(99);
        });
    }
    p.start(QStringLiteral(QLFIND_PATH), args);
    return finished(p);
}

// Runs a bash script with $0 = qlfind and the given arguments, which may hold any bytes
// when built with printf inside the script.
Run script(const QByteArray &body, const QStringList &args = {})
{
    QProcess p;
    p.start(QStringLiteral("bash"), QStringList{QStringLiteral("-c"), QString::fromUtf8(body), QStringLiteral(QLFIND_PATH)} + args);
    return finished(p);
}

// A fake index program that never ends: a search using it runs until it is stopped.
QByteArray endlessIndex(TreeFixture &t)
{
    return t.write("endless-index", "#!/bin/sh\nexec sleep 100\n", true);
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
    void refusals_data();
    void refusals();
    void helpAndVersion_data();
    void helpAndVersion();
    void kindsAndFilters_data();
    void kindsAndFilters();
    void pathsAreWrittenAsBytes();
    void keywordAndRootInOtherBytes();
    void json();
    void progress();
    void hitsShowWhileTheSearchRuns();
    void writeFailures_data();
    void writeFailures();
};

void tst_Qlfind::refusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<QString>("mentions");
    QTest::addColumn<bool>("usage"); // a usage error points at --help; a root that fails does not
    const auto row = [](const char *name, const QStringList &args, const char *mentions, bool usage, bool asNobody = false) {
        QTest::newRow(name) << args << asNobody << QString::fromUtf8(mentions) << usage;
    };
    row("unknown option", {QStringLiteral("--colour")}, "colour", true);
    row("bad number", {QStringLiteral("--limit"), QStringLiteral("ten")}, "ten", true);
    row("bad mask", {QStringLiteral("--kinds"), QStringLiteral("0xZZ")}, "0xZZ", true);
    row("signed number", {QStringLiteral("--min-size"), QStringLiteral("-5")}, "-5", true);
    row("unknown kind", {QStringLiteral("--kind"), QStringLiteral("ogg")}, "ogg", true);
    row("missing value", {QStringLiteral("--root")}, "--root", true);
    row("two keywords", {QStringLiteral("a"), QStringLiteral("b")}, "keyword", true);
    row("root is missing", {QStringLiteral("--root"), QStringLiteral("/no/such/dir")}, "No such file", false);
    row("root is a file", {QStringLiteral("--root"), QStringLiteral("/etc/passwd")}, "Not a directory", false);
    row("root is unreadable", {QStringLiteral("--root"), QStringLiteral("<tree>")}, "Permission denied", false, true);
}

void tst_Qlfind::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(bool, asNobody);
    QFETCH(QString, mentions);
    QFETCH(bool, usage);
    TreeFixture t; // made for its owner only
    if (!TreeFixture::isRoot())
        t.chmod("", 0);
    args.replaceInStrings(QStringLiteral("<tree>"), s(t.root()));
    const Run r = qlfind(args, asNobody);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.out.isEmpty());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(s(r.err).contains(mentions), r.err.constData());
    QCOMPARE(r.err.contains("--help"), usage);
}

void tst_Qlfind::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("mentions");
    const QStringList help{QStringLiteral("Usage: "), QStringLiteral("--index-db"), QStringLiteral("path_bytes"),
                           QStringLiteral("Exit status")};
    QTest::newRow("-h") << QStringLiteral("-h") << help;
    QTest::newRow("--help") << QStringLiteral("--help") << help;
    QTest::newRow("--version") << QStringLiteral("--version") << QStringList{QStringLiteral("qlfind " QL_VERSION "\n")};
    QTest::newRow("-v") << QStringLiteral("-v") << QStringList{QStringLiteral("qlfind " QL_VERSION "\n")};
}

void tst_Qlfind::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QStringList, mentions);
    const Run r = qlfind({option});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.err.isEmpty());
    for (const QString &m : mentions)
        QVERIFY2(s(r.out).contains(m), qPrintable(m));
}

void tst_Qlfind::kindsAndFilters_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QStringList &args, const QString &expected) {
        QTest::newRow(name) << args << expected.split(QLatin1Char(' '));
    };
    const auto kind = [](const char *k) { return QStringList{QStringLiteral("--kind"), QString::fromLatin1(k)}; };
    row("all", {}, QStringLiteral("a.mp3 b.MOV c.aif d.flac e.m4a h.mp4 i.m4b j.wav k.m4v"));
    row("mp3", kind("mp3"), QStringLiteral("a.mp3"));
    row("mp4", kind("mp4"), QStringLiteral("h.mp4"));
    row("m4a", kind("m4a"), QStringLiteral("e.m4a i.m4b"));
    row("wav-aiff", {QStringLiteral("--kind=wav-aiff")}, QStringLiteral("c.aif j.wav"));
    row("video", kind("video"), QStringLiteral("b.MOV h.mp4 k.m4v"));
    row("flac", kind("flac"), QStringLiteral("d.flac"));
    row("mask overrides kind", kind("mp3") + QStringList{QStringLiteral("--kinds"), QStringLiteral("0x84")},
        QStringLiteral("d.flac e.m4a i.m4b"));
    row("keyword", {QStringLiteral("A.MP")}, QStringLiteral("a.mp3"));
    row("min size", {QStringLiteral("--min-size"), QStringLiteral("100")}, QStringLiteral("d.flac"));
    row("hidden", {QStringLiteral("--include-hidden"), QStringLiteral("--kind"), QStringLiteral("m4a")},
        QStringLiteral(".h/f.m4a e.m4a i.m4b"));
    row("each file once", {QStringLiteral("--root"), QStringLiteral("<tree>"), QStringLiteral("--kind"), QStringLiteral("video")},
        QStringLiteral("b.MOV h.mp4 k.m4v"));
}

void tst_Qlfind::kindsAndFilters()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);
    TreeFixture t;
    t.files({"a.mp3", "b.MOV", "c.aif", "e.m4a", ".h/f.m4a", "g.txt", "h.mp4", "i.m4b", "j.wav", "k.m4v"});
    t.file("d.flac", 200);
    args.replaceInStrings(QStringLiteral("<tree>"), s(t.root()));
    const Run r = qlfind(QStringList{QStringLiteral("--no-index"), QStringLiteral("--root"), s(t.root())} + args);
    QCOMPARE(r.exitCode, 0);
    QStringList got;
    for (const QByteArray &line : r.out.split('\n')) {
        if (!line.isEmpty())
            got.append(s(line.mid(t.root().size() + 1)));
    }
    got.sort();
    QCOMPARE(got, expected);

    // The limit holds with any of these filters.
    const Run limited = qlfind(QStringList{QStringLiteral("--no-index"), QStringLiteral("--limit"), QStringLiteral("1"),
                                           QStringLiteral("--root"), s(t.root())} + args);
    QCOMPARE(limited.out.count('\n'), 1);
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

void tst_Qlfind::keywordAndRootInOtherBytes()
{
    // Both reach the engine byte for byte; the keyword matches names by bytes, with ASCII
    // letters in any case, not every name that merely fails to be UTF-8.
    TreeFixture t;
    const QByteArray hit = t.file("dir\xfe/a\xffset.mp3");
    t.files({"dir\xfe/b\xfeset.mp3", "dir\xfe/c\xef\xbf\xbdset.mp3", "dir\xfe/set.mp3"});
    const Run r = script(R"sh("$0" --no-index --root "$1/$(printf 'dir\376')" "$(printf '\377SET')")sh", {s(t.root())});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, hit + '\n');
}

void tst_Qlfind::json()
{
    TreeFixture t;
    t.file("x/Song \"1\".MP3", 1234);
    t.setMTime("x/Song \"1\".MP3", 1600000000);
    t.file("old.wav");
    const timespec beforeEpoch[2] = {{-2, 500000000}, {-2, 500000000}}; // 1.5 s before 1970
    QCOMPARE(utimensat(AT_FDCWD, t.path("old.wav").constData(), beforeEpoch, 0), 0);
    // Two names a lossy encoding would print alike, and one in GBK.
    const QList<QByteArray> odd = {t.file("a\xff.mp3"), t.file("a\xef\xbf\xbd.mp3"), t.file("\xc7\xe0\xc4\xf1.flac")};
    const Run r = qlfind({QStringLiteral("--no-index"), QStringLiteral("--json"), QStringLiteral("--root"), s(t.root())});
    QCOMPARE(r.exitCode, 0);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 5);
    QMap<QByteArray, QJsonObject> byPath;
    for (const QByteArray &line : lines) {
        QJsonParseError e;
        const QJsonObject o = QJsonDocument::fromJson(line, &e).object();
        QCOMPARE(e.error, QJsonParseError::NoError);
        const QByteArray bytes = o.contains(QStringLiteral("path_bytes"))
                                     ? QByteArray::fromBase64(o[QStringLiteral("path_bytes")].toString().toLatin1())
                                     : o[QStringLiteral("path")].toString().toUtf8();
        QVERIFY2(!byPath.contains(bytes), line.constData());
        byPath.insert(bytes, o);
        QCOMPARE(o[QStringLiteral("origin")].toString(), QStringLiteral("walk"));
        QCOMPARE(o.contains(QStringLiteral("path_bytes")), bytes == odd[0] || bytes == odd[2]); // not UTF-8
    }
    for (const QByteArray &p : odd)
        QVERIFY2(byPath.contains(p), p.constData());

    const QJsonObject song = byPath.value(t.path("x/Song \"1\".MP3"));
    QCOMPARE(song.keys(), (QStringList{QStringLiteral("ext"), QStringLiteral("modified"), QStringLiteral("name"),
                                       QStringLiteral("origin"), QStringLiteral("path"), QStringLiteral("size"),
                                       QStringLiteral("volume")}));
    QCOMPARE(song[QStringLiteral("name")].toString(), QStringLiteral("Song \"1\".MP3"));
    QCOMPARE(song[QStringLiteral("ext")].toString(), QStringLiteral("mp3"));
    QCOMPARE(song[QStringLiteral("size")].toInteger(), 1234);
    QCOMPARE(song[QStringLiteral("modified")].toInteger(), 1600000000);
    QCOMPARE(song[QStringLiteral("volume")].toString(), QStringLiteral("本机"));
    QCOMPARE(byPath.value(t.path("old.wav"))[QStringLiteral("modified")].toInteger(), -2); // as stat(1) says
    QCOMPARE(byPath.value(odd[2])[QStringLiteral("name")].toString(), QStringLiteral("青鸟.flac"));
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

void tst_Qlfind::hitsShowWhileTheSearchRuns()
{
    // Output to a pipe is not held back until the search ends (which here it never does),
    // and Ctrl-C ends it with what was found.
    TreeFixture t;
    t.files({"a.mp3", "b.flac"});
    QProcess p;
    p.start(QStringLiteral(QLFIND_PATH), {QStringLiteral("--index-tool"), s(endlessIndex(t)), QStringLiteral("--root"), s(t.root())});
    QByteArray out;
    while (out.count('\n') < 2 && p.waitForReadyRead(20000))
        out += p.readAllStandardOutput();
    QCOMPARE(out.count('\n'), 2);
    QCOMPARE(p.state(), QProcess::Running);
    kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);
    QList<QByteArray> got = (out + p.readAllStandardOutput()).split('\n');
    got.removeAll(QByteArray());
    std::sort(got.begin(), got.end());
    QCOMPARE(got, (QList<QByteArray>{t.path("a.mp3"), t.path("b.flac")}));
}

void tst_Qlfind::writeFailures_data()
{
    // $1 the endless index program, $2 the root. Each search would run for ever if the
    // failed output did not stop it.
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("disk full") << QByteArray(R"(exec "$0" --index-tool "$1" --root "$2" >/dev/full)") << 1
                               << QStringLiteral("qlfind: cannot write the output: No space left on device\n");
    QTest::newRow("output closed") << QByteArray(R"(exec "$0" --index-tool "$1" --root "$2" >&-)") << 1
                                   << QStringLiteral("qlfind: cannot write the output: Bad file descriptor\n");
    QTest::newRow("reader stops, SIGPIPE ignored")
        << QByteArray(R"(trap '' PIPE; "$0" --index-tool "$1" --root "$2" | head -c1 >/dev/null; exit ${PIPESTATUS[0]})") << 0
        << QString();
}

void tst_Qlfind::writeFailures()
{
    QFETCH(QByteArray, body);
    TreeFixture t;
    t.file("a.mp3");
    const Run r = script(body, {s(endlessIndex(t)), s(t.root())});
    QTEST(r.exitCode, "exitCode");
    QTEST(s(r.err), "message");
}

QTEST_GUILESS_MAIN(tst_Qlfind)
#include "tst_qlfind.moc"
