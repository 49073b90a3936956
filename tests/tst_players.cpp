#include "desktopentry.h"
#include "qlplatform.h"
#include "qlplayertargets.h"
#include "treefixture.h"

#include <QFile>
#include <QTest>

#include <unistd.h>

using Bytes = QList<QByteArray>;

namespace {

QByteArray entry(const QByteArray &exec, const QByteArray &extra = {})
{
    return "[Desktop Entry]\nType=Application\nName=Player\nIcon=player\nExec=" + exec + "\n" + extra;
}

// What a recording player was given.
Bytes recorded(const QByteArray &path)
{
    Bytes args = TreeFixture::readFile(path).split('\0');
    args.removeLast();
    return args;
}

} // namespace

class tst_Players final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void sortOrder();
    void description();
    void splitExec_data();
    void splitExec();
    void expandExec_data();
    void expandExec();
    void discovery();
    void userEntryOverridesTheSystemOne();
    void openingFilesInAPlayer();
    void refusals();
    void serato_data();
    void serato();
    void unsupportedList();

private:
    std::unique_ptr<TreeFixture> m_t;
    QByteArray m_oldHome, m_oldDirs;
    QByteArray m_record;
    QByteArray m_player; // a program that records its arguments
};

void tst_Players::init()
{
    m_t = std::make_unique<TreeFixture>();
    m_oldHome = qgetenv("XDG_DATA_HOME");
    m_oldDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_HOME", m_t->path("home"));
    qputenv("XDG_DATA_DIRS", m_t->path("sys1") + ":" + m_t->path("sys2") + "/");
    m_t->dir("home/applications");
    m_t->dir("sys1/applications");
    m_t->dir("sys2/applications");
    m_record = m_t->path("args");
    m_player = m_t->file("bin/record player");
    TreeFixture::writeFile(m_player,
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + m_record + ".tmp'\nmv '" + m_record + ".tmp' '" +
                  m_record + "'\n",
              true);
}

void tst_Players::cleanup()
{
    qputenv("XDG_DATA_HOME", m_oldHome);
    qputenv("XDG_DATA_DIRS", m_oldDirs);
    m_t.reset();
}

void tst_Players::sortOrder()
{
    QList<QLPlayerTarget> all;
    for (const QLKnownPlayer &p : QLPlayerTargets::knownPlayers()) {
        QLPlayerTarget t;
        t.setName(p.display.isEmpty() ? p.name : p.display);
        t.setIsDJ(p.isDJ);
        all.append(t);
    }
    QLPlayerTargets::sortTargets(all);
    QStringList order;
    for (const QLPlayerTarget &t : all)
        order.append(t.name());
    QCOMPARE(order, (QStringList{QStringLiteral("Mixxx"), QStringLiteral("Serato DJ Pro"), QStringLiteral("Traktor Pro 3"),
                                 QStringLiteral("VirtualDJ"), QStringLiteral("djay"), QStringLiteral("rekordbox"),
                                 QStringLiteral("QuickTime Player"), QStringLiteral("VLC"), QStringLiteral("云雀乐盒"),
                                 QStringLiteral("网易云音乐"), QStringLiteral("音乐")}));
}

void tst_Players::description()
{
    QLPlayerTarget t;
    t.setName(QStringLiteral("Mixxx"));
    t.setBundleID(QStringLiteral("org.mixxx.Mixxx.desktop"));
    QCOMPARE(t.description(), QStringLiteral("<Mixxx org.mixxx.Mixxx.desktop>"));
}

void tst_Players::splitExec_data()
{
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QStringList>("args");
    QTest::newRow("plain") << QStringLiteral("vlc --started-from-file %U") << QStringList{QStringLiteral("vlc"), QStringLiteral("--started-from-file"), QStringLiteral("%U")};
    QTest::newRow("quoted with escapes") << QStringLiteral(R"("/opt/My Player/run" "a \"b\" \$c \\d" x)")
                                         << QStringList{QStringLiteral("/opt/My Player/run"), QStringLiteral("a \"b\" $c \\d"), QStringLiteral("x")};
    QTest::newRow("extra spaces") << QStringLiteral("  mixxx   %F ") << QStringList{QStringLiteral("mixxx"), QStringLiteral("%F")};
    QTest::newRow("flatpak") << QStringLiteral("/usr/bin/flatpak run --command=mixxx org.mixxx.Mixxx @@ %F @@")
                             << QStringList{QStringLiteral("/usr/bin/flatpak"), QStringLiteral("run"), QStringLiteral("--command=mixxx"),
                                            QStringLiteral("org.mixxx.Mixxx"), QStringLiteral("@@"), QStringLiteral("%F"), QStringLiteral("@@")};
    QTest::newRow("unclosed quote") << QStringLiteral("\"player %f") << QStringList{};
    QTest::newRow("empty") << QStringLiteral("   ") << QStringList{};
}

void tst_Players::splitExec()
{
    QFETCH(QString, exec);
    QFETCH(QStringList, args);
    QStringList got;
    QCOMPARE(QLPlatform::splitExec(exec, &got), !args.isEmpty());
    if (!args.isEmpty())
        QCOMPARE(got, args);
}

void tst_Players::expandExec_data()
{
    QTest::addColumn<QString>("exec");
    QTest::addColumn<Bytes>("expected");
    const Bytes files{"/m/a b.mp3", "/m/\xc7\xe0.flac"};
    QTest::newRow("%F") << QStringLiteral("p %F") << Bytes{"p", files[0], files[1]};
    QTest::newRow("%f takes every file in one process") << QStringLiteral("p %f") << Bytes{"p", files[0], files[1]};
    QTest::newRow("%U") << QStringLiteral("p --x %U") << Bytes{"p", "--x", "file:///m/a%20b.mp3", "file:///m/%C7%E0.flac"};
    QTest::newRow("%u") << QStringLiteral("p %u") << Bytes{"p", "file:///m/a%20b.mp3", "file:///m/%C7%E0.flac"};
    QTest::newRow("no field code: appended") << QStringLiteral("mixxx") << Bytes{"mixxx", files[0], files[1]};
    QTest::newRow("icon, name, entry, percent") << QStringLiteral("p %i %c %k 100%% %F")
                                                << Bytes{"p", "--icon", "player", "Player", "/e/p.desktop", "100%", files[0], files[1]};
    QTest::newRow("deprecated codes vanish") << QStringLiteral("p %d %m %F") << Bytes{"p", files[0], files[1]};
    QTest::newRow("code inside an argument") << QStringLiteral("p --file=%f") << Bytes{"p", "--file=" + files[0]};
}

void tst_Players::expandExec()
{
    QFETCH(QString, exec);
    QFETCH(Bytes, expected);
    QStringList args;
    QVERIFY(QLPlatform::splitExec(exec, &args));
    const QLPlatform::DesktopEntry e = QLPlatform::parseDesktopEntry(entry(exec.toUtf8()));
    QCOMPARE(QLPlatform::expandExec(args, {"/m/a b.mp3", "/m/\xc7\xe0.flac"}, e, "/e/p.desktop"), expected);
    // Launching without files drops the file codes, and appends nothing.
    const Bytes bare = QLPlatform::expandExec(args, {}, e, "/e/p.desktop");
    for (const QByteArray &a : bare)
        QVERIFY2(!a.contains("/m/") && !a.startsWith("file:") && !a.contains("--file"), a.constData());
}

void tst_Players::discovery()
{
    const QByteArray quoted = "\"" + m_player + "\"";
    TreeFixture::writeFile(m_t->path("sys1/applications/org.mixxx.Mixxx.desktop"), entry(quoted + " %F"));
    TreeFixture::writeFile(m_t->path("sys2/applications/vlc.desktop"), entry(quoted + " %U", "TryExec=/nonexistent/vlc\n"));
    TreeFixture::writeFile(m_t->path("sys2/applications/org.videolan.VLC.desktop"), entry(quoted + " %U"));
    TreeFixture::writeFile(m_t->path("sys1/applications/netease-cloud-music.desktop"), entry("/opt/netease/no-such-program %U"));
    const QList<QLPlayerTarget> players = QLPlayerTargets::installedPlayers();
    QCOMPARE(players.size(), 2);
    QCOMPARE(players[0].name(), QStringLiteral("Mixxx"));
    QVERIFY(players[0].isDJ());
    QCOMPARE(players[0].bundlePath(), m_t->path("sys1/applications/org.mixxx.Mixxx.desktop"));
    QCOMPARE(players[0].bundleID(), QStringLiteral("org.mixxx.Mixxx.desktop"));
    QCOMPARE(players[1].name(), QStringLiteral("VLC")); // vlc.desktop's TryExec is missing: the Flatpak ID counts
    QVERIFY(!players[1].isDJ());
    QCOMPARE(players[1].bundleID(), QStringLiteral("org.videolan.VLC.desktop"));

    // Nothing installed: an empty list.
    qputenv("XDG_DATA_DIRS", m_t->path("nowhere"));
    QVERIFY(QLPlayerTargets::installedPlayers().isEmpty());
}

void tst_Players::userEntryOverridesTheSystemOne()
{
    TreeFixture::writeFile(m_t->path("sys1/applications/mixxx.desktop"), entry("\"" + m_player + "\""));
    TreeFixture::writeFile(m_t->path("home/applications/mixxx.desktop"), entry("\"" + m_player + "\"", "Hidden=true\n"));
    QVERIFY(QLPlayerTargets::installedPlayers().isEmpty());
    TreeFixture::writeFile(m_t->path("home/applications/mixxx.desktop"), entry("\"" + m_player + "\" --user %F"));
    const QList<QLPlayerTarget> players = QLPlayerTargets::installedPlayers();
    QCOMPARE(players.size(), 1);
    QCOMPARE(players[0].bundlePath(), m_t->path("home/applications/mixxx.desktop"));
}

void tst_Players::openingFilesInAPlayer()
{
    // Debian's Mixxx entry has no field code: the files are appended, all in one process.
    TreeFixture::writeFile(m_t->path("sys1/applications/mixxx.desktop"), entry("\"" + m_player + "\" --resourcePath x"));
    const QLPlayerTarget mixxx = QLPlayerTargets::installedPlayers().value(0);
    QCOMPARE(mixxx.name(), QStringLiteral("Mixxx"));
    const Bytes files{"/music/a set.mp3", "/music/\xc7\xe0.flac", "-rf.wav"};
    QString error = QStringLiteral("stale");
    QVERIFY(QLPlayerTargets::openPaths(files, mixxx, &error));
    QVERIFY(error.isEmpty());
    QTRY_COMPARE(recorded(m_record), (Bytes{"--resourcePath", "x", files[0], files[1], files[2]}));

    unlink(m_record.constData());
    QVERIFY(QLPlayerTargets::launchAndFront(mixxx, &error));
    QVERIFY(error.isEmpty());
    QTRY_COMPARE(recorded(m_record), (Bytes{"--resourcePath", "x"}));
}

void tst_Players::refusals()
{
    QLPlayerTarget gone;
    gone.setName(QStringLiteral("Mixxx"));
    gone.setBundlePath(m_t->path("sys1/applications/deleted.desktop"));
    QString error;
    QVERIFY(!QLPlayerTargets::launchAndFront(gone, &error));
    QCOMPARE(error, QStringLiteral("找不到「Mixxx」，可能未安装或已移动"));
    QVERIFY(!QLPlayerTargets::launchAndFront(QLPlayerTarget(), &error));
    QCOMPARE(error, QStringLiteral("找不到「」，可能未安装或已移动"));

    QVERIFY(!QLPlayerTargets::openPaths({}, gone, &error));
    QCOMPARE(error, QStringLiteral("没有可打开的文件"));

    // A player whose program went away after discovery: the system's reason, then the hint.
    const QByteArray broken = m_t->path("sys1/applications/vlc.desktop");
    TreeFixture::writeFile(broken, entry("/opt/vanished/vlc %U"));
    QLPlayerTarget vlc;
    vlc.setName(QStringLiteral("VLC"));
    vlc.setBundlePath(broken);
    QVERIFY(!QLPlayerTargets::openPaths({"/m/a.mp3"}, vlc, &error));
    QCOMPARE(error, QLPlatform::errorText(ENOENT) + QStringLiteral("（「VLC」可能只接受拖拽方式，请把它拖到曲库/播放列表区域）"));
    QVERIFY(!QLPlayerTargets::launchAndFront(vlc, &error));
    QCOMPARE(error, QLPlatform::errorText(ENOENT));

    // A program that exists but cannot be executed by the system.
    const QByteArray notExec = m_t->file("bin/not-a-program");
    TreeFixture::writeFile(notExec, "\x7f" "ELF garbage", true);
    TreeFixture::writeFile(broken, entry(notExec + " %F"));
    QVERIFY(!QLPlayerTargets::openPaths({"/m/a.mp3"}, vlc, &error));
    QCOMPARE(error, QLPlatform::errorText(ENOEXEC) + QStringLiteral("（「VLC」可能只接受拖拽方式，请把它拖到曲库/播放列表区域）"));
}

void tst_Players::serato_data()
{
    QTest::addColumn<QString>("ext");
    QTest::addColumn<bool>("supported");
    for (const char *e : {"MP3", "Mp3", "m4a", "aac", "ogg", "flac", "aif", "mov", "ALAC"})
        QTest::newRow(e) << QString::fromLatin1(e) << true;
    for (const char *e : {"m4v", "m4b", "", ".mp3"})
        QTest::newRow(*e ? e : "empty") << QString::fromLatin1(e) << false;
    QTest::newRow("absent") << QString() << false;
}

void tst_Players::serato()
{
    QFETCH(QString, ext);
    QFETCH(bool, supported);
    QCOMPARE(QLPlayerTargets::isFormatSupportedBySerato(ext), supported);
}

void tst_Players::unsupportedList()
{
    QCOMPARE(QLPlayerTargets::unsupportedForSerato({QStringLiteral("M4V"), QStringLiteral("mp3"), QStringLiteral("m4v"), QStringLiteral("m4b")}),
             (QStringList{QStringLiteral("m4v"), QStringLiteral("m4b")}));
    QCOMPARE(QLPlayerTargets::unsupportedForSerato({}), QStringList{});
    QCOMPARE(QLPlayerTargets::unsupportedForSerato({QStringLiteral("flac"), QStringLiteral("WAV")}), QStringList{});
    QCOMPARE(QLPlayerTargets::unsupportedForSerato({QString(), QStringLiteral("mp3"), QStringLiteral("")}), QStringList{QString()});
}

QTEST_GUILESS_MAIN(tst_Players)
#include "tst_players.moc"
