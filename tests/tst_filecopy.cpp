#include "qlmediasearch.h"
#include "qlplatform.h"
#include "treefixture.h"

#include <QDateTime>
#include <QTest>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Paths = QList<QByteArray>;

namespace {

// Every name in dir, hidden ones included, in byte order.
Paths listing(const QByteArray &dir)
{
    Paths out;
    dirent **list = nullptr;
    for (int i = 0, n = scandir(dir.constData(), &list, [](const dirent *e) { return int(strcmp(e->d_name, ".") && strcmp(e->d_name, "..")); }, nullptr); i < n; free(list[i++]))
        out.append(list[i]->d_name);
    free(list);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

class tst_FileCopy final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void uniquePath_data();
    void uniquePath();
    void copyNeverOverwrites();
    void copyInAChild_data();
    void copyInAChild();
    void batch();

private:
    std::unique_ptr<TreeFixture> m_home;
    QByteArray m_desktop;
};

void tst_FileCopy::init()
{
    m_home = std::make_unique<TreeFixture>();
    qputenv("HOME", m_home->root());
    qunsetenv("XDG_CONFIG_HOME");
    m_desktop = m_home->dir("Desktop");
}

void tst_FileCopy::uniquePath_data()
{
    QTest::addColumn<Paths>("present");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("expected"); // empty: the base name, a blank and the time in seconds
    QTest::addColumn<int>("lastNumber");
    const auto row = [](const char *tag, const Paths &present, const char *name, const char *expected, int last = 99999) {
        QTest::newRow(tag) << present << QByteArray(name) << QByteArray(expected) << last;
    };
    row("free", {"b.mp3"}, "a.mp3", "a.mp3");
    row("taken", {"a.mp3"}, "a.mp3", "a 2.mp3");
    row("gaps are filled", {"a.mp3", "a 3.mp3"}, "a.mp3", "a 2.mp3");
    row("only the last extension moves", {"mix.tar.gz"}, "mix.tar.gz", "mix.tar 2.gz");
    row("hidden file", {".profile"}, ".profile", ".profile 2");
    row("a folder takes the name too", {"set.wav/"}, "set.wav", "set 2.wav");
    Paths taken{"song.mp3"};
    for (int n = 2; n < 50; ++n)
        taken.append("song " + QByteArray::number(n) + ".mp3");
    row("the last number", taken, "song.mp3", "song 50.mp3", 50);
    row("every number taken", taken << "song 50.mp3", "song.mp3", "", 50);
}

void tst_FileCopy::uniquePath()
{
    QFETCH(Paths, present);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, expected);
    QFETCH(int, lastNumber);
    TreeFixture t;
    for (const QByteArray &p : present)
        p.endsWith('/') ? t.dir(p) : t.file(p);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const QByteArray got = QLMediaSearch::uniquePathInDirectory(t.root(), name, lastNumber);
    // Where every number is taken, no extension follows the seconds.
    const qint64 secs = got.startsWith(t.path("song ")) ? got.mid(t.root().size() + 6).toLongLong() : 0;
    QVERIFY2(expected.isEmpty() ? secs >= before && secs <= QDateTime::currentSecsSinceEpoch() : got == t.path(expected), got.constData());
}

void tst_FileCopy::copyNeverOverwrites()
{
    // The Desktop holds the name, its first number, and a link to a file that is gone.
    TreeFixture src;
    const QByteArray data = QByteArray(300000, 'x') + "end";
    const QByteArray a = src.write("music/\xc7\xe0 set.mp3", data);
    src.chmod("music/\xc7\xe0 set.mp3", 0640);
    src.setMTime("music/\xc7\xe0 set.mp3", 1500000000);
    TreeFixture::writeFile(m_desktop + "/\xc7\xe0 set.mp3", "old");
    TreeFixture::writeFile(m_desktop + "/\xc7\xe0 set 2.mp3", "older");
    QCOMPARE(symlink("/nonexistent/a.mp3", (m_desktop + "/\xc7\xe0 set 3.mp3").constData()), 0);
    QString error = QStringLiteral("stale");
    const QByteArray dest = QLMediaSearch::copyToDesktop(a, &error);
    QCOMPARE(error, QString());
    QCOMPARE(dest, m_desktop + "/\xc7\xe0 set 4.mp3");
    QCOMPARE(TreeFixture::readFile(dest), data);
    struct stat st;
    QCOMPARE(stat(dest.constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0640);
    QCOMPARE(qint64(st.st_mtim.tv_sec), qint64(1500000000));
    QCOMPARE(TreeFixture::readFile(a), data);
    QCOMPARE(TreeFixture::readFile(m_desktop + "/\xc7\xe0 set.mp3") + TreeFixture::readFile(m_desktop + "/\xc7\xe0 set 2.mp3"),
             QByteArray("oldolder"));
    // Nor is a temporary file left.
    QCOMPARE(listing(m_desktop), (Paths{"\xc7\xe0 set 2.mp3", "\xc7\xe0 set 3.mp3", "\xc7\xe0 set 4.mp3", "\xc7\xe0 set.mp3"}));
}

enum ChildSetup { NoProc = 1, SizeLimit = 2, KilledAtLimit = 4, NameTaken = 8, Unreadable = 16 };

void tst_FileCopy::copyInAChild_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("message"); // "killed": the child dies
    QTest::addColumn<Paths>("desktop");
    const Paths none;
    const QString efbig = QLPlatform::errorText(EFBIG);
    // For the user nobody the source is unreadable; no hint names a setting that Linux lacks.
    QTest::newRow("unreadable") << int(Unreadable) << QStringLiteral("没有权限") << none;
    QTest::newRow("the write refused midway") << int(SizeLimit) << efbig << none;
    QTest::newRow("killed midway") << int(SizeLimit | KilledAtLimit) << QStringLiteral("killed") << none;
    // Another program takes the chosen name first: it keeps it, the copy asks for another.
    QTest::newRow("a name taken meanwhile") << int(NameTaken) << QString() << Paths{"big.wav", "taken.wav"};
    // Without /proc an unnamed file cannot be named: a hidden temporary file stands in.
    QTest::newRow("named temporary: complete") << int(NoProc) << QString() << Paths{"big.wav"};
    QTest::newRow("named temporary: the write refused") << int(NoProc | SizeLimit) << efbig << none;
    QTest::newRow("named temporary: a name taken meanwhile") << int(NoProc | NameTaken) << QString() << Paths{"big.wav", "taken.wav"};
}

void tst_FileCopy::copyInAChild()
{
    QFETCH(int, setup);
    QFETCH(QString, message);
    QFETCH(Paths, desktop);
    if ((setup & NoProc) && !TreeFixture::isRoot())
        QSKIP("hiding /proc needs root");
    TreeFixture src;
    const QByteArray big = src.write("big.wav", QByteArray(1 << 20, 'w'));
    src.chmod("", 0755);
    src.chmod("big.wav", setup & Unreadable ? 0600 : 0644);
    m_home->chmod("", 0755);
    m_home->chmod("Desktop", 0777);
    if (setup & NameTaken)
        TreeFixture::writeFile(m_desktop + "/taken.wav", "theirs");
    const QByteArray out = TreeFixture::runInChild([&](int fd) {
        if (setup & NoProc) {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
                _exit(5);
        }
        if (setup & SizeLimit) {
            // The write fails, or the signal kills, after the first 64 KiB.
            signal(SIGXFSZ, (setup & KilledAtLimit) ? SIG_DFL : SIG_IGN);
            const rlimit limit{65536, 65536};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        QString error;
        int asked = 0;
        const auto freePath = [&] { return m_desktop + ((setup & NameTaken) && asked++ == 0 ? "/taken.wav" : "/big.wav"); };
        const QByteArray dest = (setup & NameTaken) ? QLPlatform::copyIntoFolder(big, m_desktop, freePath, &error)
                                                    : QLMediaSearch::copyToDesktop(big, &error);
        const QByteArray line = dest + '\n' + error.toUtf8();
        if (::write(fd, line.constData(), size_t(line.size())) < 0)
            _exit(4);
    }, setup & Unreadable);
    QCOMPARE(out, message == QStringLiteral("killed") ? QByteArray() : (message.isEmpty() ? m_desktop + "/big.wav" : QByteArray()) + '\n' + message.toUtf8());
    QCOMPARE(listing(m_desktop), desktop);
    if (!desktop.isEmpty())
        QCOMPARE(TreeFixture::readFile(m_desktop + "/big.wav"), TreeFixture::readFile(big));
    if (setup & NameTaken)
        QCOMPARE(TreeFixture::readFile(m_desktop + "/taken.wav"), QByteArray("theirs"));
}

void tst_FileCopy::batch()
{
    // Copied one after another: the second take.wav gets a number. A file that vanished, an
    // empty path and a folder each give their line; the batch goes on.
    TreeFixture src;
    src.write("one/take.wav", "1");
    src.write("two/take.wav", "2");
    src.write("last.flac", "3");
    const Paths sources{src.path("one/take.wav"), src.path("gone.mp3"), "", src.dir("folder.mp3"),
                        src.path("two/take.wav"), src.path("last.flac")};
    QStringList errors{QStringLiteral("stale")};
    QCOMPARE(QLMediaSearch::copyToDesktopBatch(sources, &errors),
             (Paths{m_desktop + "/take.wav", m_desktop + "/take 2.wav", m_desktop + "/last.flac"}));
    QCOMPARE(TreeFixture::readFile(m_desktop + "/take 2.wav"), QByteArray("2"));
    const QString gone = QStringLiteral("源文件不存在或已被移动");
    QCOMPARE(errors, (QStringList{QStringLiteral("gone.mp3：") + gone, QStringLiteral("：") + gone,
                                  QStringLiteral("folder.mp3：") + QLPlatform::errorText(EISDIR)}));
    QCOMPARE(listing(m_desktop), (Paths{"last.flac", "take 2.wav", "take.wav"}));

    QCOMPARE(QLMediaSearch::copyToDesktopBatch({src.path("last.flac")}, &errors).size(), 1);
    QVERIFY(errors.isEmpty()); // set on every call
}

QTEST_GUILESS_MAIN(tst_FileCopy)
#include "tst_filecopy.moc"
