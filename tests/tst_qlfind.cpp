#include "treefixture.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

struct Run
{
    int exitCode = -1; // -1: it did not end by itself within 30 s
    QByteArray out;
    QByteArray err;
};

Run run(const QStringList &args, const QString &program = QStringLiteral(QLFIND_PATH))
{
    QProcess p;
    p.start(program, args);
    const bool ended = p.waitForFinished(30000);
    if (!ended)
        p.kill();
    return {ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

} // namespace

class tst_Qlfind final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void output_data();
    void output();
    void json();

private:
    std::unique_ptr<TreeFixture> m_t;
};

void tst_Qlfind::initTestCase()
{
    m_t = std::make_unique<TreeFixture>();
    m_t->files({"k/a.mp3", "k/b.MOV", "k/c.aif", "k/d.flac", "k/e.m4a", "k/g.txt", "k/h.mp4", "k/i.m4b", "k/j.wav", "k/k.m4v"});
    m_t->files({"raw\xfe/a\xffset.mp3", "raw\xfe/two\n\xffSet.flac", "raw\xfe/b\xfeset.mp3", "raw\xfe/c\xef\xbf\xbdset.mp3",
                "raw\xfe/set.mp3", "\xffset.mp3"});
    m_t->file("k/.h/f.m4a", 200);
    for (int i = 0; i < 201; ++i)
        m_t->dir("p/d" + QByteArray::number(i));
    m_t->dir("locked");
    m_t->chmod("locked", 0);
    m_t->write("endless-index", "#!/bin/sh\nexec sleep 100\n", true);
}

void tst_Qlfind::output_data()
{
    // Scripts for bash, with $0 qlfind, $1 an index program that never ends (a search using
    // it runs until stopped) and $2 the tree, which the output names as "<tree>".
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    const auto row = [](const char *tag, const char *body, int code, const QByteArray &out, const char *err = "") {
        QTest::newRow(tag) << QByteArray(body) << code << out << QByteArray(err);
    };
    const auto paths = [](const char *names) { return "<tree>/k/" + QByteArray(names).replace(" ", "\n<tree>/k/") + '\n'; };
    // A usage error points at --help, a root that fails does not; either is one line.
    row("-h", R"("$0" -h | grep -oE '^Usage: |--index-db|path_bytes|Exit status' | sort -u)", 0, "--index-db\nExit status\nUsage: \npath_bytes\n");
    row("--version", R"("$0" --version)", 0, "qlfind " QL_VERSION "\n");
    row("--colour", R"("$0" --colour)", 2, {}, "qlfind: Unknown option 'colour'. (try --help)\n");
    row("--kinds 0xZZ", R"("$0" --kinds 0xZZ)", 2, {}, "qlfind: not a number for --kinds: '0xZZ' (try --help)\n");
    row("--min-size -5", R"("$0" --min-size -5)", 2, {}, "qlfind: not a number for --min-size: '-5' (try --help)\n");
    row("--kind ogg", R"("$0" --kind ogg)", 2, {}, "qlfind: unknown kind 'ogg' (try --help)\n");
    row("two keywords", R"("$0" two keywords)", 2, {}, "qlfind: more than one keyword (try --help)\n");
    row("--root /no/such/dir", R"("$0" --root /no/such/dir)", 2, {}, "qlfind: cannot search '/no/such/dir': No such file or directory\n");
    row("--root /etc/passwd", R"("$0" --root /etc/passwd)", 2, {}, "qlfind: cannot search '/etc/passwd': Not a directory\n");
    // As the unprivileged user nobody: the tests run as root, whom permission bits do not stop.
    row("--root <tree>/locked", R"sh(n=(); [ "$(id -u)" != 0 ] || n=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        "${n[@]}" "$0" --root "$2/locked")sh", 2, {}, "qlfind: cannot search '<tree>/locked': Permission denied\n");
    row("every kind by default", R"("$0" --no-index --root "$2/k" | sort)", 0, paths("a.mp3 b.MOV c.aif d.flac e.m4a h.mp4 i.m4b j.wav k.m4v"));
    row("--kind", R"("$0" --no-index --root "$2/k" --kind video | sort)", 0, paths("b.MOV h.mp4 k.m4v"));
    row("a mask overrides a kind", R"("$0" --no-index --root "$2/k" --kind mp3 --kinds 0x84 | sort)", 0, paths("d.flac e.m4a i.m4b"));
    row("filters", R"("$0" --no-index --root "$2/k" --include-hidden --min-size 100; "$0" --no-index --root "$2/k" --limit 2 | wc -l)",
        0, "<tree>/k/.h/f.m4a\n2\n");
    row("progress", R"("$0" --no-index --progress --root "$2/p" 2>&1 >/dev/null | sed 's|：d.*|：|')", 0,
        "正在扫描第 200 个目录：\n正在扫描第 201 个目录：并入索引结果…\n");
    // Keyword and root reach the engine byte for byte; the keyword matches names by bytes,
    // with ASCII letters in any case, not every name that merely fails to be UTF-8. -0 ends
    // each path, a line feed in it included, with NUL.
    static const char rawHits[] = "<tree>/raw\xfe/a\xffset.mp3\0<tree>/raw\xfe/two\n\xffSet.flac\0";
    row("bytes that are not UTF-8, -0", R"sh("$0" --no-index -0 --root "$2/$(printf 'raw\376')" "$(printf '\377SET')" | sort -z)sh", 0,
        QByteArray(rawHits, sizeof rawHits - 1));
    // Output is not held back until the search ends (which here it never does), and Ctrl-C
    // ends it with what was found.
    row("interrupted", R"("$0" --index-tool "$1" --root "$2/k" --kind mp3 >"$2/out" & until [ -s "$2/out" ]; do sleep 0.05; done
        kill -INT $!; wait $!; status=$?; cat "$2/out"; exit $status)", 130, paths("a.mp3"));
    // A failed output stops the search.
    row("disk full", R"("$0" --index-tool "$1" --root "$2/k" >/dev/full)", 1, {},
        "qlfind: cannot write the output: No space left on device\n");
    row("output closed", R"("$0" --index-tool "$1" --root "$2/k" >&-)", 1, {}, "qlfind: cannot write the output: Bad file descriptor\n");
    row("reader stops, SIGPIPE ignored", R"(trap '' PIPE; "$0" --index-tool "$1" --root "$2/k" | head -c1 >/dev/null; exit ${PIPESTATUS[0]})",
        0, {});
}

void tst_Qlfind::output()
{
    QFETCH(QByteArray, body);
    const Run r = run({QStringLiteral("-c"), QFile::decodeName("set -o pipefail; export LC_ALL=C; " + body), QStringLiteral(QLFIND_PATH),
                       QFile::decodeName(m_t->path("endless-index")), QFile::decodeName(m_t->root())}, QStringLiteral("bash"));
    QTEST(r.exitCode, "exitCode");
    QTEST(QByteArray(r.out).replace(m_t->root(), "<tree>"), "out");
    QTEST(QByteArray(r.err).replace(m_t->root(), "<tree>"), "err");
}

void tst_Qlfind::json()
{
    TreeFixture t;
    const QByteArray song = t.file("x/Song \"1\".MP3", 1234);
    t.setMTime("x/Song \"1\".MP3", 1600000000);
    const timespec beforeEpoch[2] = {{-2, 500000000}, {-2, 500000000}}; // 1.5 s before 1970
    QCOMPARE(utimensat(AT_FDCWD, t.file("old.wav").constData(), beforeEpoch, 0), 0);
    // Two names a lossy encoding would print alike, and one in GBK.
    const QList<QByteArray> odd = {t.file("a\xff.mp3"), t.file("a\xef\xbf\xbd.mp3"), t.file("\xc7\xe0\xc4\xf1.flac")};
    const Run r = run({QStringLiteral("--no-index"), QStringLiteral("--json"), QStringLiteral("--root"), QFile::decodeName(t.root())});
    QCOMPARE(r.exitCode, 0);
    QMap<QByteArray, QJsonObject> byPath;
    for (const QByteArray &line : r.out.trimmed().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const QJsonValue bytes = o[QStringLiteral("path_bytes")];
        const QByteArray path = bytes.isString() ? QByteArray::fromBase64(bytes.toString().toLatin1())
                                                 : o[QStringLiteral("path")].toString().toUtf8();
        QCOMPARE(o[QStringLiteral("origin")].toString(), QStringLiteral("walk"));
        QCOMPARE(bytes.isString(), path == odd[0] || path == odd[2]); // only where it is not UTF-8
        byPath.insert(path, o);
    }
    QList<QByteArray> all = odd + QList<QByteArray>{t.path("old.wav"), song};
    std::sort(all.begin(), all.end());
    QCOMPARE(byPath.keys(), all);
    QJsonObject expected = QJsonDocument::fromJson(R"({"ext": "mp3", "modified": 1600000000, "name": "Song \"1\".MP3",
                                                       "origin": "walk", "size": 1234, "volume": "本机"})").object();
    expected.insert(QStringLiteral("path"), QFile::decodeName(song));
    QCOMPARE(byPath.value(song), expected);
    QCOMPARE(byPath.value(t.path("old.wav"))[QStringLiteral("modified")].toInteger(), -2); // as stat(1) says
    QCOMPARE(byPath.value(odd[2])[QStringLiteral("name")].toString(), QStringLiteral("青鸟.flac"));
}

QTEST_GUILESS_MAIN(tst_Qlfind)
#include "tst_qlfind.moc"
