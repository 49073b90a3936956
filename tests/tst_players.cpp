#include "qlplatform.h"
#include "qlplayertargets.h"
#include "testitems.h"
#include "treefixture.h"

#include <QDir>
#include <QProcess>
#include <QTest>

using Bytes = QList<QByteArray>;

namespace {

QByteArray entry(const QByteArray &name, const QByteArray &exec, const QByteArray &extra = {})
{
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra;
}

QStringList names(const QList<QLPlayerTarget> &targets)
{
    QStringList out;
    for (const QLPlayerTarget &t : targets)
        out.append(t.name() + (t.isDJ() ? QStringLiteral(" (DJ) ") : QStringLiteral(" ")) + t.bundleID());
    return out;
}

} // namespace

class tst_Players final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void installedAndOtherPlayers();
    void openingFiles_data();
    void openingFiles();
    void refusals();
    void noSecondDJCopy();
    void serato_data();
    void serato();

private:
    QList<Bytes> starts() const { return TreeFixture::starts(m_starts); }
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
    m_recorder = m_t->recorder("bin/record args", m_starts);
    m_mixxx = m_t->write("bin/mixxx", TreeFixture::readFile("/bin/sh"), true);

    const QByteArray rec = quoted(m_recorder);
    const QByteArray sys = "XDG_DATA_DIRS/applications/";
    m_t->write(sys + "org.mixxx.Mixxx.desktop", entry("Mixxx", quoted(m_mixxx) + " " + rec + " %F"));
    m_t->write(sys + "vlc.desktop", entry("VLC", rec + " %U", "NoDisplay=true\n"));
    m_t->write(sys + "org.videolan.VLC.desktop", entry("VLC media player", rec + " %U", "MimeType=audio/mpeg;\n"));
    m_t->write(sys + "netease-cloud-music.desktop", entry("NetEase", rec + " %U"));
    // Other applications for the program's file types, as package installs register them.
    m_t->write(sys + "audacious.desktop", entry("audacious", rec + " %U", "MimeType=audio/flac;\n"));
    m_t->write(sys + "clementine.desktop", entry("Clementine", rec + " %U", "MimeType=audio/mpeg;audio/x-wav;\n"));
    m_t->write(sys + "helper.desktop", entry("Helper", rec + " %U", "NoDisplay=true\nMimeType=audio/mpeg;\n"));
    m_t->write(sys + "editor.desktop", entry("Editor", rec + " %F", "MimeType=text/plain;\n"));
    m_t->write(sys + "mimeinfo.cache", "[MIME Cache]\naudio/flac=audacious.desktop;\n"
                                       "audio/mpeg=org.videolan.VLC.desktop;clementine.desktop;helper.desktop;\n"
                                       "audio/x-wav=clementine.desktop;\ntext/plain=editor.desktop;\n");
}

void tst_Players::init()
{
    QDir(QString::fromUtf8(m_starts)).removeRecursively();
    m_t->dir("starts");
}

void tst_Players::installedAndOtherPlayers()
{
    // DJ applications first, then by UTF-16 code units: capitals before small letters, Latin
    // before Chinese. VLC's first ID is hidden from menus: its second counts, under the
    // catalogue's name; NetEase goes by the name the catalogue shows.
    const QList<QLPlayerTarget> players = QLPlayerTargets::installedPlayers();
    QCOMPARE(names(players), (QStringList{QStringLiteral("Mixxx (DJ) org.mixxx.Mixxx.desktop"), QStringLiteral("VLC org.videolan.VLC.desktop"),
                                          QStringLiteral("网易云音乐 netease-cloud-music.desktop")}));
    QCOMPARE(players[0].bundlePath(), m_t->path("XDG_DATA_DIRS/applications/org.mixxx.Mixxx.desktop"));

    // Not VLC (a known player), nor the one hidden from menus, nor the text editor; each once.
    QCOMPARE(names(QLPlayerTargets::otherPlayers()), (QStringList{QStringLiteral("Clementine clementine.desktop"), QStringLiteral("audacious audacious.desktop")}));
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
    const QLPlayerTarget p = player(QStringLiteral("Player"), false, m_t->write("entries/player.desktop", entry("P", quoted(m_recorder) + " " + exec)));
    QString error = QStringLiteral("stale");
    QVERIFY(files.isEmpty() ? QLPlayerTargets::launchAndFront(p, &error) : QLPlayerTargets::openPaths(files, p, &error));
    QCOMPARE(error, QString());
    QTRY_COMPARE(starts(), expected);
}

void tst_Players::refusals()
{
    const auto dragHint = [](const char *name) {
        return QStringLiteral("（「%1」可能只接受拖拽方式，请把它拖到曲库/播放列表区域）").arg(QString::fromUtf8(name));
    };
    const QString enoent = QLPlatform::errorText(ENOENT);
    QString error;
    const auto failure = [&error](bool ok) { return ok ? QStringLiteral("succeeded") : error; };
    const QLPlayerTarget gone = player(QStringLiteral("Mixxx"), false, m_t->path("entries/deleted.desktop"));
    QCOMPARE(failure(QLPlayerTargets::launchAndFront(gone, &error)), QStringLiteral("找不到「Mixxx」，可能未安装或已移动"));
    QCOMPARE(failure(QLPlayerTargets::openPaths({}, gone, &error)), QStringLiteral("没有可打开的文件"));
    QCOMPARE(failure(QLPlayerTargets::openPaths({"/m/a.mp3"}, gone, &error)), enoent + dragHint("Mixxx"));

    // A player whose program went away after discovery.
    const QLPlayerTarget vlc = player(QStringLiteral("VLC"), false, m_t->write("entries/vlc.desktop", entry("VLC", "/opt/vanished/vlc %U")));
    QCOMPARE(failure(QLPlayerTargets::openPaths({"/m/a.mp3"}, vlc, &error)), enoent + dragHint("VLC"));
    QCOMPARE(failure(QLPlayerTargets::launchAndFront(vlc, &error)), enoent);

    // An entry started over D-Bus whose service nobody provides: the bus's answer, not a
    // success reported before it.
    const QLPlayerTarget viaBus = player(QStringLiteral("VLC"), false, m_t->write("entries/org.example.QlNoSuchPlayer.desktop",
                                                                                 entry("Bus", quoted(m_recorder) + " %U", "DBusActivatable=true\n")));
    QVERIFY(!QLPlayerTargets::openPaths({"/m/a.mp3"}, viaBus, &error));
    QVERIFY2(error.contains(QStringLiteral("org.example.QlNoSuchPlayer")) && error.endsWith(dragHint("VLC")), qPrintable(error));
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
    const QLPlayerTarget perFile = player(QStringLiteral("Traktor"), true, m_t->write("entries/traktor.desktop", entry("T", quoted(m_recorder) + " %f")));
    QVERIFY(!QLPlayerTargets::openPaths(files, perFile, &error));
    QCOMPARE(error, QStringLiteral("它每次启动只接收一个文件，一次交给它 2 个会启动 2 个副本"));
    QVERIFY(QLPlayerTargets::openPaths({files[0]}, perFile, &error));
    QTRY_COMPARE(starts().size(), 2);
}

void tst_Players::serato_data()
{
    QTest::addColumn<QStringList>("exts");
    QTest::addColumn<QStringList>("unsupported"); // in lower case, each once, in order
    const auto list = [](const char *exts) { return QString::fromUtf8(exts).split(QLatin1Char(' ')); };
    QTest::newRow("supported, in any case") << list("MP3 Mp3 m4a aac ogg flac WAV aiff aif mp4 mov ALAC") << QStringList();
    QTest::newRow("video and audiobooks") << list("M4V mp3 m4v m4b") << list("m4v m4b");
    QTest::newRow("a dot is no extension") << list(".mp3") << list(".mp3");
    QTest::newRow("none and empty") << QStringList{QString(), QStringLiteral("mp3"), QStringLiteral("")} << QStringList{QString()};
}

void tst_Players::serato()
{
    QFETCH(QStringList, exts);
    QFETCH(QStringList, unsupported);
    QCOMPARE(QLPlayerTargets::unsupportedForSerato(exts), unsupported);
    for (const QString &e : exts)
        QCOMPARE(QLPlayerTargets::isFormatSupportedBySerato(e), !unsupported.contains(e.toLower()));
}

QTEST_GUILESS_MAIN(tst_Players)
#include "tst_players.moc"
