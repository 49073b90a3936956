// Runs on a private session bus (dbus-run-session), where the test plays the file manager.

#include "qlmediasearch.h"
#include "fakefilemanager.h"
#include "treefixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QTest>

#include <unistd.h>

class tst_Reveal final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void showItemsOnTheFileManager();
    void withoutAFileManagerTheFolderOpens();

private:
    FakeFileManager m_fm;
};

void tst_Reveal::initTestCase()
{
    QVERIFY2(m_fm.registerOnSessionBus(), "run under dbus-run-session");
}

void tst_Reveal::showItemsOnTheFileManager()
{
    QLMediaSearch::revealInFinder("/tmp/青鸾 寻曲/a b#1%.mp3");
    QTRY_COMPARE(m_fm.calls.size(), 1);
    QCOMPARE(m_fm.calls[0],
             QStringList{QStringLiteral("file:///tmp/%E9%9D%92%E9%B8%BE%20%E5%AF%BB%E6%9B%B2/a%20b%231%25.mp3")});
    QCOMPARE(m_fm.startupIds[0], QString());

    QLMediaSearch::revealInFinder({}); // nothing to show: nothing is sent
    QLMediaSearch::revealInFinder("/music/\xc7\xe0.flac"); // not UTF-8: the bytes themselves
    QTRY_COMPARE(m_fm.calls.size(), 2);
    QCOMPARE(m_fm.calls[1], QStringList{QStringLiteral("file:///music/%C7%E0.flac")});
}

void tst_Reveal::withoutAFileManagerTheFolderOpens()
{
    QVERIFY(QDBusConnection::sessionBus().unregisterService(QStringLiteral("org.freedesktop.FileManager1")));
    // The default file manager of a fresh home: a script that records what it was given.
    TreeFixture home;
    const QByteArray record = home.path("opened");
    const QByteArray script = home.recorder("fm.sh", record);
    home.write("data/applications/fakefm.desktop",
               "[Desktop Entry]\nType=Application\nName=Fake\nExec=" + script + " %U\nMimeType=inode/directory;\n");
    home.write("config/mimeapps.list", "[Default Applications]\ninode/directory=fakefm.desktop\n");
    qputenv("XDG_DATA_HOME", home.path("data"));
    qputenv("XDG_CONFIG_HOME", home.path("config"));

    const QByteArray folder = home.dir("青鸾 music");
    QLMediaSearch::revealInFinder(home.file("青鸾 music/x.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(access(record.constData(), F_OK) == 0, 10000);
    // GIO hands the folder over as a URI or, to programs it deems local-only, as a path.
    const QByteArray arg = TreeFixture::readFile(record).chopped(1);
    const QByteArray uri = "file://" + QByteArray(folder).replace("青鸾 music", "%E9%9D%92%E9%B8%BE%20music");
    QVERIFY2(arg == uri || arg == folder, arg.constData());
    QCOMPARE(m_fm.calls.size(), 2); // nothing more reached the file manager's name
}

QTEST_GUILESS_MAIN(tst_Reveal)
#include "tst_reveal.moc"
