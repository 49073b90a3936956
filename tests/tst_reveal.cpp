// Reveal on a session bus of the test's own (support/with-session-bus.sh): each case
// decides whether a file manager is started by the bus (slowly, or not at all), or is
// missing; a program of the test's own is the default application for folders, or there
// is none.

#include "qlmediasearch.h"
#include "qlplatform.h"
#include "treefixture.h"

#include <QDBusConnectionInterface>
#include <QTest>

#include <cerrno>

namespace {

enum Setup { None, StartsSlowly, FailsToStart, NoFolderOpener = 4, NothingToShow = 8 };
const QString kName = QStringLiteral("org.freedesktop.FileManager1");

// Lets the bus start the file manager by running exec, or, with an empty exec, not at all.
void setActivatable(const QByteArray &exec)
{
    const QByteArray file = qgetenv("QL_TEST_SERVICES") + '/' + kName.toUtf8() + ".service";
    exec.isEmpty() ? void(unlink(file.constData())) : TreeFixture::writeFile(file, "[D-BUS Service]\nName=" + kName.toUtf8() + "\nExec=" + exec + "\n");
    // The bus reads its service folder again now, not at its next lookup.
    QDBusConnection::sessionBus().interface()->call(QStringLiteral("ReloadConfig"));
}

} // namespace

class tst_Reveal final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void reveal_data();
    void reveal();

private:
    std::unique_ptr<TreeFixture> m_xdg;
};

void tst_Reveal::initTestCase()
{
    // Before anything asks GLib for them: it reads these folders once per process.
    m_xdg = std::make_unique<TreeFixture>();
    m_xdg->write("data/applications/folders.desktop", "[Desktop Entry]\nType=Application\nName=Folders\nExec="
                     + m_xdg->path("opener.sh") + " %f\nMimeType=inode/directory;\n");
    m_xdg->write("config/mimeapps.list", "[Default Applications]\ninode/directory=folders.desktop\n");
    qputenv("XDG_DATA_HOME", m_xdg->path("data"));
    qputenv("XDG_CONFIG_HOME", m_xdg->path("config"));
    qputenv("XDG_DATA_DIRS", m_xdg->dir("sysdata"));
    m_xdg->file("青鸾 music/a b#1%\xc7\xe0.mp3");
    QVERIFY2(!qEnvironmentVariableIsEmpty("QL_TEST_SERVICES"), "run through support/with-session-bus.sh");
}

void tst_Reveal::cleanup()
{
    setActivatable({});
    // A file manager the bus started leaves once it has answered.
    QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(kName));
    m_xdg->remove("shown");
    m_xdg->remove("opened");
}

void tst_Reveal::reveal_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("reason"); // empty: the reveal succeeds
    QTest::addColumn<QByteArray>("shownBy");
    const QString nothingAnswers = QStringLiteral("没有文件管理器响应，也没有可以打开文件夹的应用程序");
    QTest::newRow("started by the bus, answers after 3 s") << int(StartsSlowly) << QString() << QByteArray("shown");
    QTest::newRow("fails to start: the folder opens") << int(FailsToStart) << QString() << QByteArray("opened");
    QTest::newRow("none: the folder opens") << int(None) << QString() << QByteArray("opened");
    QTest::newRow("none, nor a folder opener") << int(None | NoFolderOpener) << nothingAnswers << QByteArray();
    QTest::newRow("fails to start, nor a folder opener") << int(FailsToStart | NoFolderOpener) << nothingAnswers << QByteArray();
    QTest::newRow("nothing to show") << int(None | NothingToShow) << QLPlatform::errorText(ENOENT) << QByteArray();
}

void tst_Reveal::reveal()
{
    QFETCH(int, setup);
    QFETCH(QString, reason);
    QFETCH(QByteArray, shownBy);
    const QByteArray shown = m_xdg->path("shown");
    if (setup & NoFolderOpener)
        m_xdg->remove("opener.sh"); // GIO then knows no application for folders
    else
        m_xdg->write("opener.sh", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + m_xdg->path("opened") + "'\n", true);
    if ((setup & 3) != None)
        setActivatable((setup & 3) == StartsSlowly ? QL_FAKE_FILE_MANAGER " " + shown + " 3000" : "/bin/false");

    QList<QPair<bool, QString>> outcomes;
    const QByteArray file = (setup & NothingToShow) ? QByteArray() : m_xdg->path("青鸾 music/a b#1%\xc7\xe0.mp3");
    QLMediaSearch::revealInFinder(file, [&](bool ok, const QString &why) { outcomes.append({ok, why}); });
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 1, 30000);
    QCOMPARE(outcomes[0], qMakePair(reason.isEmpty(), reason));

    // The file's URI carries its exact bytes; the folder opener is given the folder.
    const QByteArray uri = "file://" + m_xdg->root() + "/%E9%9D%92%E9%B8%BE%20music/a%20b%231%25%C7%E0.mp3\n";
    QTest::qWait(100);
    QCOMPARE(TreeFixture::readFile(shown), shownBy == "shown" ? uri : "<unreadable>");
    QTRY_COMPARE(TreeFixture::readFile(m_xdg->path("opened")), shownBy == "opened" ? m_xdg->path("青鸾 music") + '\n' : "<unreadable>");
}

QTEST_GUILESS_MAIN(tst_Reveal)
#include "tst_reveal.moc"
