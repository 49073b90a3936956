#include "qlmediasearch.h"
#include "qlplatform.h"
#include "treefixture.h"

#include <QFile>
#include <QTest>

#include <csignal>
#include <cstddef>
#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using Paths = QList<QByteArray>;

namespace {

Paths listing(const QByteArray &dir)
{
    Paths out;
    if (DIR *d = opendir(dir.constData())) {
        while (const dirent *e = readdir(d)) {
            const QByteArray n(e->d_name);
            if (n != "." && n != "..")
                out.append(n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

class tst_FileCopy final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void uniquePath_data();
    void uniquePath();
    void uniquePathWhenEveryNumberIsTaken();
    void desktopFollowsTheUserDirsFile();
    void copyKeepsContentModeAndTime();
    void copyNeverOverwrites();
    void failures_data();
    void failures();
    void unreadableSource();
    void copyInAChild_data();
    void copyInAChild();
    void batch();

private:
    std::unique_ptr<TreeFixture> m_home;
    QByteArray m_desktop;
    QByteArray m_oldHome, m_oldConfig;
};

void tst_FileCopy::init()
{
    // A home folder of our own, whose Desktop is named as on a Chinese desktop.
    m_home = std::make_unique<TreeFixture>();
    m_oldHome = qgetenv("HOME");
    m_oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", m_home->root());
    qunsetenv("XDG_CONFIG_HOME");
    m_home->file(".config/user-dirs.dirs");
    TreeFixture::writeFile(m_home->path(".config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"$HOME/桌面\"\n");
    m_desktop = m_home->dir("桌面");
}

void tst_FileCopy::cleanup()
{
    qputenv("HOME", m_oldHome);
    if (!m_oldConfig.isEmpty())
        qputenv("XDG_CONFIG_HOME", m_oldConfig);
    m_home.reset();
}

void tst_FileCopy::uniquePath_data()
{
    QTest::addColumn<Paths>("present");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("taken") << Paths{"a.mp3"} << QByteArray("a.mp3") << QByteArray("a 2.mp3");
    QTest::newRow("gaps are filled") << Paths{"a.mp3", "a 3.mp3"} << QByteArray("a.mp3") << QByteArray("a 2.mp3");
    QTest::newRow("only the last extension moves") << Paths{"mix.tar.gz"} << QByteArray("mix.tar.gz") << QByteArray("mix.tar 2.gz");
    QTest::newRow("hidden file") << Paths{".profile"} << QByteArray(".profile") << QByteArray(".profile 2");
    QTest::newRow("a folder takes the name too") << Paths{"set.wav/"} << QByteArray("set.wav") << QByteArray("set 2.wav");
    QTest::newRow("a dangling link too") << Paths{"@x.mp3"} << QByteArray("x.mp3") << QByteArray("x 2.mp3");
    QTest::newRow("not UTF-8") << Paths{"\xc7\xe0.mp3"} << QByteArray("\xc7\xe0.mp3") << QByteArray("\xc7\xe0 2.mp3");
}

void tst_FileCopy::uniquePath()
{
    QFETCH(Paths, present);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, expected);
    TreeFixture t;
    for (const QByteArray &p : present) {
        if (p.endsWith('/'))
            t.dir(p);
        else if (p.startsWith('@'))
            t.symlink(p.mid(1), "/nonexistent/target");
        else
            t.file(p);
    }
    QCOMPARE(QLMediaSearch::uniquePathInDirectory(t.root(), name), t.path(expected));
}

void tst_FileCopy::uniquePathWhenEveryNumberIsTaken()
{
    TreeFixture t;
    const QByteArray dir = t.dir("full");
    t.file("full/song.mp3");
    const int fd = open(dir.constData(), O_RDONLY | O_DIRECTORY);
    for (int n = 2; n < 100000; ++n)
        close(openat(fd, ("song " + QByteArray::number(n) + ".mp3").constData(), O_WRONLY | O_CREAT, 0644));
    close(fd);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const QByteArray got = QLMediaSearch::uniquePathInDirectory(dir, "song.mp3");
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QVERIFY(got.startsWith(dir + "/song "));
    const qint64 secs = got.mid(dir.size() + 6).toLongLong();
    QVERIFY(secs >= before && secs <= after); // whole seconds, no extension behind them
}

void tst_FileCopy::desktopFollowsTheUserDirsFile()
{
    QCOMPARE(QLMediaSearch::desktopDirectory(), m_desktop);
}

void tst_FileCopy::copyKeepsContentModeAndTime()
{
    TreeFixture src;
    const QByteArray a = src.file("music/\xc7\xe0 set.mp3");
    TreeFixture::writeFile(a, QByteArray(300000, 'x') + "end");
    src.chmod("music/\xc7\xe0 set.mp3", 0640);
    src.setMTime("music/\xc7\xe0 set.mp3", 1500000000);
    QString error = QStringLiteral("stale");
    const QByteArray dest = QLMediaSearch::copyToDesktop(a, &error);
    QVERIFY(error.isEmpty());
    QCOMPARE(dest, m_desktop + "/\xc7\xe0 set.mp3");
    QCOMPARE(TreeFixture::readFile(dest), TreeFixture::readFile(a));
    struct stat st;
    QCOMPARE(stat(dest.constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0640);
    QCOMPARE(qint64(st.st_mtim.tv_sec), qint64(1500000000));
    QCOMPARE(listing(m_desktop), Paths{"\xc7\xe0 set.mp3"}); // no temporary file left
    QCOMPARE(TreeFixture::readFile(a), QByteArray(300000, 'x') + "end"); // the source stays as it was
}

void tst_FileCopy::copyNeverOverwrites()
{
    TreeFixture src;
    const QByteArray a = src.file("a.mp3");
    TreeFixture::writeFile(a, "new");
    TreeFixture::writeFile(m_desktop + "/a.mp3", "old");
    TreeFixture::writeFile(m_desktop + "/a 2.mp3", "older");
    QCOMPARE(QLMediaSearch::copyToDesktop(a), m_desktop + "/a 3.mp3");
    QCOMPARE(TreeFixture::readFile(m_desktop + "/a.mp3"), QByteArray("old"));
    QCOMPARE(TreeFixture::readFile(m_desktop + "/a 2.mp3"), QByteArray("older"));
    QCOMPARE(TreeFixture::readFile(m_desktop + "/a 3.mp3"), QByteArray("new"));

    // A link whose target is gone still holds its name.
    const QByteArray b = src.file("b.flac");
    QVERIFY(symlink("/nonexistent/b.flac", (m_desktop + "/b.flac").constData()) == 0);
    QCOMPARE(QLMediaSearch::copyToDesktop(b), m_desktop + "/b 2.flac");
    char target[64] = {};
    QVERIFY(readlink((m_desktop + "/b.flac").constData(), target, sizeof target - 1) > 0);
    QCOMPARE(QByteArray(target), QByteArray("/nonexistent/b.flac"));
}

void tst_FileCopy::failures_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty path") << QByteArray() << QStringLiteral("源文件不存在或已被移动");
    QTest::newRow("missing file") << QByteArray("/nonexistent/q.mp3") << QStringLiteral("源文件不存在或已被移动");
    QTest::newRow("a folder") << QByteArray("/tmp") << QLPlatform::errorText(EISDIR);
}

void tst_FileCopy::failures()
{
    QFETCH(QByteArray, source);
    QFETCH(QString, message);
    QString error;
    QVERIFY(QLMediaSearch::copyToDesktop(source, &error).isEmpty());
    QCOMPARE(error, message);
    QCOMPARE(listing(m_desktop), Paths{});
}

void tst_FileCopy::unreadableSource()
{
    // Run as an unprivileged user, for whom the file is unreadable. The Full Disk Access
    // hint is a macOS setting and is not offered here.
    TreeFixture src;
    src.chmod("", 0755);
    TreeFixture::writeFile(src.file("locked.flac"), "x");
    src.chmod("locked.flac", 0600);
    const QByteArray file = src.path("locked.flac");
    TreeFixture desk;
    desk.chmod("", 0777);
    const QByteArray desktop = desk.root();
    const QByteArray out = TreeFixture::runInChild([&](int fd) {
        qputenv("HOME", desktop);
        qunsetenv("XDG_CONFIG_HOME");
        mkdir((desktop + "/Desktop").constData(), 0755);
        QString error;
        const QByteArray dest = QLMediaSearch::copyToDesktop(file, &error);
        const QByteArray line = dest + '\n' + error.toUtf8();
        if (::write(fd, line.constData(), size_t(line.size())) < 0)
            _exit(4);
    });
    QCOMPARE(out, QStringLiteral("\n没有权限").toUtf8());
    QCOMPARE(listing(desktop + "/Desktop"), Paths{});
}

enum ChildSetup { NoProc = 1, SizeLimit = 2, KilledAtLimit = 4, StatFails = 8, NameTaken = 16 };

void tst_FileCopy::copyInAChild_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("message"); // "killed": the child dies
    QTest::addColumn<Paths>("desktop");
    const Paths none;
    const QString efbig = QLPlatform::errorText(EFBIG);
    QTest::newRow("the write refused midway") << int(SizeLimit) << efbig << none;
    QTest::newRow("killed midway") << int(SizeLimit | KilledAtLimit) << QStringLiteral("killed") << none;
    QTest::newRow("fstat fails") << int(StatFails) << QLPlatform::errorText(EIO) << none;
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
    const QByteArray big = src.file("big.wav");
    TreeFixture::writeFile(big, QByteArray(1 << 20, 'w'));
    const QByteArray dir = m_desktop;
    if (setup & NameTaken)
        TreeFixture::writeFile(dir + "/taken.wav", "theirs");
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
        if (setup & StatFails) {
            // Every fstat of this process fails with EIO.
            sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fstat, 1, 0),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_newfstatat, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            const sock_fprog prog{sizeof filter / sizeof filter[0], filter};
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
                _exit(5);
        }
        QString error;
        int asked = 0;
        const auto freePath = [&] { return dir + ((setup & NameTaken) && asked++ == 0 ? "/taken.wav" : "/big.wav"); };
        const QByteArray dest = QLPlatform::copyIntoFolder(big, dir, freePath, &error);
        const QByteArray line = dest + '\n' + error.toUtf8();
        if (::write(fd, line.constData(), size_t(line.size())) < 0)
            _exit(4);
    }, false);
    if (message == QStringLiteral("killed"))
        QCOMPARE(out, QByteArray());
    else
        QCOMPARE(out, (message.isEmpty() ? dir + "/big.wav" : QByteArray()) + '\n' + message.toUtf8());
    QCOMPARE(listing(dir), desktop);
    if (!desktop.isEmpty())
        QCOMPARE(TreeFixture::readFile(dir + "/big.wav"), TreeFixture::readFile(big));
    if (setup & NameTaken)
        QCOMPARE(TreeFixture::readFile(dir + "/taken.wav"), QByteArray("theirs"));
}

void tst_FileCopy::batch()
{
    TreeFixture src;
    TreeFixture::writeFile(src.file("one/take.wav"), "1");
    TreeFixture::writeFile(src.file("two/take.wav"), "2");
    TreeFixture::writeFile(src.file("gone.mp3"), "3");
    TreeFixture::writeFile(src.file("last.flac"), "4");
    src.remove("gone.mp3"); // vanished before copying
    const Paths sources{src.path("one/take.wav"), src.path("gone.mp3"), src.path("two/take.wav"), src.path("last.flac")};
    QStringList errors{QStringLiteral("stale")};
    const Paths copied = QLMediaSearch::copyToDesktopBatch(sources, &errors);
    QCOMPARE(copied, (Paths{m_desktop + "/take.wav", m_desktop + "/take 2.wav", m_desktop + "/last.flac"}));
    QCOMPARE(TreeFixture::readFile(m_desktop + "/take 2.wav"), QByteArray("2"));
    QCOMPARE(errors, QStringList{QStringLiteral("gone.mp3：源文件不存在或已被移动")});

    QCOMPARE(QLMediaSearch::copyToDesktopBatch({src.path("last.flac")}, &errors).size(), 1);
    QVERIFY(errors.isEmpty()); // set on every call
    QCOMPARE(QLMediaSearch::copyToDesktopBatch({src.path("last.flac")}).size(), 1);
}

QTEST_GUILESS_MAIN(tst_FileCopy)
#include "tst_filecopy.moc"
