#include "qlplatform.h"
#include "qlplayertargets.h"
#include "treefixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using Bytes = QList<QByteArray>;

namespace {

QByteArray entry(const QByteArray &name, const QByteArray &exec, const QByteArray &extra = {})
{
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra;
}

QLPlayerTarget target(const QString &name, const QByteArray &entryPath, bool dj = false)
{
    QLPlayerTarget t;
    t.setName(name);
    t.setBundlePath(entryPath);
    t.setIsDJ(dj);
    return t;
}

} // namespace

class tst_Players final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void sortOrder();
    void description();
    void discovery_data();
    void discovery();
    void installedPlayers();
    void otherPlayers();
    void openingFiles_data();
    void openingFiles();
    void refusals();
    void noSecondDJCopy();
    void serato_data();
    void serato();
    void unsupportedList();

private:
    // The argument lists of every start of the recording program so far, sorted.
    QList<Bytes> starts() const;
    QByteArray quoted(const QByteArray &path) const { return '"' + path + '"'; }

    std::unique_ptr<TreeFixture> m_t;
    QByteArray m_starts;   // one file per start of the recording program
    QByteArray m_recorder; // records its arguments
    QByteArray m_mixxx;    // a shell under Mixxx's name: runs the recorder
};

void tst_Players::initTestCase()
{
    // GIO reads the XDG folders once per process: every entry it looks up is in place
    // before the first look-up, and nothing of the machine's is seen.
    m_t = std::make_unique<TreeFixture>();
    for (const char *var : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS"})
        qputenv(var, m_t->path(var));
    qunsetenv("XDG_CURRENT_DESKTOP");
    m_starts = m_t->dir("starts");
    m_recorder = m_t->write("bin/record args", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + m_starts
                                                   + "'/.$$\nmv '" + m_starts + "'/.$$ '" + m_starts + "'/$$\n",
                            true);
    m_mixxx = m_t->path("bin/mixxx");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sh"), QString::fromUtf8(m_mixxx)));
    m_t->chmod("bin/mixxx", 0755);

    const QByteArray rec = quoted(m_recorder);
    const QByteArray home = "XDG_DATA_HOME/applications/", sys = "XDG_DATA_DIRS/applications/";
    m_t->write(sys + "org.mixxx.Mixxx.desktop", entry("Mixxx", quoted(m_mixxx) + " " + rec + " %F"));
    m_t->write(sys + "vlc.desktop", entry("VLC", rec + " %U", "TryExec=/nonexistent/vlc\n"));
    m_t->write(sys + "org.videolan.VLC.desktop", entry("VLC media player", rec + " %U", "MimeType=audio/mpeg;\n"));
    m_t->write(sys + "netease-cloud-music.desktop", entry("NetEase", "/opt/netease/no-such-program %U"));
    m_t->write(sys + "plain.desktop", entry("Plain", rec));
    m_t->write(sys + "masked.desktop", entry("Masked", rec));
    m_t->write(home + "masked.desktop", entry("Masked", rec, "Hidden=true\n"));
    m_t->write(sys + "overridden.desktop", entry("Overridden", rec));
    m_t->write(home + "overridden.desktop", entry("Overridden", rec + " --user"));
    m_t->write(sys + "tryexec.desktop", entry("TryExec", rec, "TryExec=/nonexistent/player\n"));
    m_t->write(sys + "noprogram.desktop", entry("NoProgram", "/nonexistent/player %F"));
    m_t->write(sys + "nodisplay.desktop", entry("NoDisplay", rec, "NoDisplay=true\n"));
    // Other applications for the program's file types, as package installs register them.
    m_t->write(sys + "audacious.desktop", entry("Audacious", rec + " %U", "MimeType=audio/flac;\n"));
    m_t->write(sys + "clementine.desktop", entry("Clementine", rec + " %U", "MimeType=audio/mpeg;audio/x-wav;\n"));
    m_t->write(sys + "helper.desktop", entry("Helper", rec + " %U", "NoDisplay=true\nMimeType=audio/mpeg;\n"));
    m_t->write(sys + "editor.desktop", entry("Editor", rec + " %F", "MimeType=text/plain;\n"));
    m_t->write(sys + "mimeinfo.cache", "[MIME Cache]\naudio/flac=audacious.desktop;\n"
                                       "audio/mpeg=org.videolan.VLC.desktop;clementine.desktop;helper.desktop;\n"
                                       "audio/x-wav=clementine.desktop;\ntext/plain=editor.desktop;\n");
}

void tst_Players::cleanupTestCase()
{
    m_t.reset();
}

void tst_Players::init()
{
    for (const QString &f : QDir(QString::fromUtf8(m_starts)).entryList(QDir::Files))
        QFile::remove(QString::fromUtf8(m_starts) + QLatin1Char('/') + f);
}

QList<Bytes> tst_Players::starts() const
{
    QList<Bytes> out;
    for (const QString &f : QDir(QString::fromUtf8(m_starts)).entryList(QDir::Files)) {
        Bytes args = TreeFixture::readFile(m_starts + '/' + f.toUtf8()).split('\0');
        args.removeLast();
        out.append(args);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void tst_Players::sortOrder()
{
    QList<QLPlayerTarget> all;
    for (const QLKnownPlayer &p : QLPlayerTargets::knownPlayers())
        all.append(target(p.display.isEmpty() ? p.name : p.display, {}, p.isDJ));
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
    QLPlayerTarget t = target(QStringLiteral("Mixxx"), {});
    t.setBundleID(QStringLiteral("org.mixxx.Mixxx.desktop"));
    QCOMPARE(t.description(), QStringLiteral("<Mixxx org.mixxx.Mixxx.desktop>"));
}

void tst_Players::discovery_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QByteArray>("found"); // the entry file, or empty
    const QByteArray sys = "XDG_DATA_DIRS/applications/";
    QTest::newRow("plain") << QStringList{QStringLiteral("plain.desktop")} << sys + "plain.desktop";
    QTest::newRow("the first installed of several IDs")
        << QStringList{QStringLiteral("absent.desktop"), QStringLiteral("plain.desktop")} << sys + "plain.desktop";
    QTest::newRow("the user's own entry overrides the system's")
        << QStringList{QStringLiteral("overridden.desktop")} << QByteArray("XDG_DATA_HOME/applications/overridden.desktop");
    QTest::newRow("the user's hidden entry removes the system's") << QStringList{QStringLiteral("masked.desktop")} << QByteArray();
    QTest::newRow("TryExec missing") << QStringList{QStringLiteral("tryexec.desktop")} << QByteArray();
    QTest::newRow("program missing") << QStringList{QStringLiteral("noprogram.desktop")} << QByteArray();
    QTest::newRow("not shown in menus") << QStringList{QStringLiteral("nodisplay.desktop")} << QByteArray();
    QTest::newRow("no IDs") << QStringList{} << QByteArray();
}

void tst_Players::discovery()
{
    QFETCH(QStringList, ids);
    QFETCH(QByteArray, found);
    QLPlatform::AppLocation where;
    QCOMPARE(QLPlatform::findApplication({QStringLiteral("Player"), false, ids}, &where), !found.isEmpty());
    if (!found.isEmpty()) {
        QCOMPARE(where.path, m_t->path(found));
        QCOMPARE(where.id, QString::fromUtf8(found.mid(found.lastIndexOf('/') + 1)));
    }
}

void tst_Players::installedPlayers()
{
    const QList<QLPlayerTarget> players = QLPlayerTargets::installedPlayers();
    QCOMPARE(players.size(), 2);
    QCOMPARE(players[0].name(), QStringLiteral("Mixxx"));
    QVERIFY(players[0].isDJ());
    QCOMPARE(players[0].bundlePath(), m_t->path("XDG_DATA_DIRS/applications/org.mixxx.Mixxx.desktop"));
    QCOMPARE(players[0].bundleID(), QStringLiteral("org.mixxx.Mixxx.desktop"));
    // vlc.desktop's TryExec is missing: the Flatpak ID counts, under the catalogue's name.
    QCOMPARE(players[1].name(), QStringLiteral("VLC"));
    QVERIFY(!players[1].isDJ());
    QCOMPARE(players[1].bundleID(), QStringLiteral("org.videolan.VLC.desktop"));
}

void tst_Players::otherPlayers()
{
    // Not VLC (a known player), nor the one hidden from menus, nor the text editor; each once.
    QStringList names, ids;
    for (const QLPlayerTarget &p : QLPlayerTargets::otherPlayers()) {
        names.append(p.name());
        ids.append(p.bundleID());
        QVERIFY(!p.isDJ());
    }
    QCOMPARE(names, (QStringList{QStringLiteral("Audacious"), QStringLiteral("Clementine")}));
    QCOMPARE(ids, (QStringList{QStringLiteral("audacious.desktop"), QStringLiteral("clementine.desktop")}));
}

void tst_Players::openingFiles_data()
{
    QTest::addColumn<QByteArray>("exec");
    QTest::addColumn<Bytes>("files");
    QTest::addColumn<QList<Bytes>>("expected");
    const Bytes files{"/music/a set.mp3", "/music/\xc7\xe0.flac"}; // the second is not UTF-8
    QTest::newRow("%F: one start with every file") << QByteArray("%F") << files << QList<Bytes>{files};
    QTest::newRow("%f: one start per file") << QByteArray("%f") << files << QList<Bytes>{{files[0]}, {files[1]}};
    QTest::newRow("no field code: one start per file")
        << QByteArray("--x") << files << QList<Bytes>{{"--x", files[0]}, {"--x", files[1]}};
    QTest::newRow("a launch gives no files") << QByteArray("--x %F") << Bytes{} << QList<Bytes>{{"--x"}};
}

void tst_Players::openingFiles()
{
    QFETCH(QByteArray, exec);
    QFETCH(Bytes, files);
    QFETCH(QList<Bytes>, expected);
    const QLPlayerTarget player = target(QStringLiteral("Player"), m_t->write("entries/player.desktop", entry("P", quoted(m_recorder) + " " + exec)));
    QString error = QStringLiteral("stale");
    QVERIFY(files.isEmpty() ? QLPlayerTargets::launchAndFront(player, &error) : QLPlayerTargets::openPaths(files, player, &error));
    QVERIFY(error.isEmpty());
    QTRY_COMPARE(starts(), expected);
}

void tst_Players::refusals()
{
    const QString dragHint = QStringLiteral("（「VLC」可能只接受拖拽方式，请把它拖到曲库/播放列表区域）");
    QString error;
    const QLPlayerTarget gone = target(QStringLiteral("Mixxx"), m_t->path("entries/deleted.desktop"));
    QVERIFY(!QLPlayerTargets::launchAndFront(gone, &error));
    QCOMPARE(error, QStringLiteral("找不到「Mixxx」，可能未安装或已移动"));
    QVERIFY(!QLPlayerTargets::launchAndFront(QLPlayerTarget(), &error));
    QCOMPARE(error, QStringLiteral("找不到「」，可能未安装或已移动"));
    QVERIFY(!QLPlayerTargets::openPaths({}, gone, &error));
    QCOMPARE(error, QStringLiteral("没有可打开的文件"));
    QVERIFY(!QLPlayerTargets::openPaths({"/m/a.mp3"}, gone, &error));
    QCOMPARE(error, QLPlatform::errorText(ENOENT) + QStringLiteral("（「Mixxx」可能只接受拖拽方式，请把它拖到曲库/播放列表区域）"));

    // A player whose program went away after discovery.
    const QLPlayerTarget vlc = target(QStringLiteral("VLC"), m_t->write("entries/vlc.desktop", entry("VLC", "/opt/vanished/vlc %U")));
    QVERIFY(!QLPlayerTargets::openPaths({"/m/a.mp3"}, vlc, &error));
    QCOMPARE(error, QLPlatform::errorText(ENOENT) + dragHint);
    QVERIFY(!QLPlayerTargets::launchAndFront(vlc, &error));
    QCOMPARE(error, QLPlatform::errorText(ENOENT));

    // An entry started over D-Bus whose service nobody provides: the bus's answer, not a
    // success reported before it.
    const QLPlayerTarget viaBus = target(QStringLiteral("VLC"), m_t->write("entries/org.example.QlNoSuchPlayer.desktop",
                                                                          entry("Bus", quoted(m_recorder) + " %U", "DBusActivatable=true\n")));
    QVERIFY(!QLPlayerTargets::openPaths({"/m/a.mp3"}, viaBus, &error));
    QVERIFY2(error.contains(QStringLiteral("org.example.QlNoSuchPlayer")) && error.endsWith(dragHint), qPrintable(error));
    QVERIFY(starts().isEmpty());
}

void tst_Players::noSecondDJCopy()
{
    const QLPlayerTarget mixxx = QLPlayerTargets::installedPlayers().value(0);
    QVERIFY(mixxx.isDJ());
    const Bytes files{"/music/a.mp3", "/music/b.mp3"};
    QString error;

    QProcess playing; // Mixxx, already running
    playing.start(QString::fromUtf8(m_mixxx), {QStringLiteral("-c"), QStringLiteral("read line")});
    QVERIFY(playing.waitForStarted());
    QVERIFY(!QLPlayerTargets::openPaths(files, mixxx, &error));
    QCOMPARE(error, QStringLiteral("已在运行，为免打断正在播放的音乐，不再启动第二个"));
    QVERIFY(QLPlayerTargets::launchAndFront(mixxx, &error));
    playing.closeWriteChannel();
    QVERIFY(playing.waitForFinished());
    QTest::qWait(300);
    QVERIFY(starts().isEmpty());

    // With none running, it starts, once.
    QVERIFY(QLPlayerTargets::openPaths(files, mixxx, &error));
    QTRY_COMPARE(starts(), QList<Bytes>{files});

    // A DJ application whose entry takes one file per start gets one file, never several.
    const QLPlayerTarget perFile = target(QStringLiteral("Traktor"), m_t->write("entries/traktor.desktop", entry("T", quoted(m_recorder) + " %f")), true);
    QVERIFY(!QLPlayerTargets::openPaths(files, perFile, &error));
    QCOMPARE(error, QStringLiteral("它每次启动只接收一个文件，一次交给它 2 个会启动 2 个副本"));
    QVERIFY(QLPlayerTargets::openPaths({files[0]}, perFile, &error));
    QTRY_COMPARE(starts().size(), 2);
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
