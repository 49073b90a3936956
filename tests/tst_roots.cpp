#include "qlmediasearch.h"
#include "mountinfo.h"
#include "qlplatform.h"

#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using Paths = QList<QByteArray>;

class tst_Roots final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void composeRoots_data();
    void composeRoots();
    void volumeName_data();
    void volumeName();
    void mountInfo();
};

void tst_Roots::composeRoots_data()
{
    QTest::addColumn<Paths>("volumes");
    QTest::addColumn<QByteArray>("home");
    QTest::addColumn<Paths>("expected");
    QTest::newRow("volumes then home") << Paths{"/media/me/USB", "/run/media/me/Disk"} << QByteArray("/home/me")
                                       << Paths{"/", "/media/me/USB", "/run/media/me/Disk", "/home/me"};
    QTest::newRow("nothing found") << Paths{""} << QByteArray() << Paths{"/"};
    QTest::newRow("no path twice") << Paths{"/media/a", "/media/a", "/", "/home/me"} << QByteArray("/home/me")
                                   << Paths{"/", "/media/a", "/home/me"};
}

void tst_Roots::composeRoots()
{
    QFETCH(Paths, volumes);
    QFETCH(QByteArray, home);
    QFETCH(Paths, expected);
    QCOMPARE(QLMediaSearch::composeSearchableRoots(volumes, home), expected);
}

void tst_Roots::volumeName_data()
{
    const passwd *pw = getpwuid(getuid());
    const QByteArray me = pw ? QByteArray(pw->pw_name) : QByteArray("root");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("Volumes") << QByteArray("/Volumes/Music/DJ/a.mp3") << QStringLiteral("Music");
    QTest::newRow("Volumes, volume itself") << QByteArray("/Volumes/My Disk") << QStringLiteral("My Disk");
    QTest::newRow("Volumes, empty") << QByteArray("/Volumes/") << QString();
    QTest::newRow("case-sensitive prefix") << QByteArray("/volumes/x/a.mp3") << QStringLiteral("本机");
    QTest::newRow("home") << QByteArray("/home/me/Music/a.mp3") << QStringLiteral("本机");
    QTest::newRow("/media/USER/NAME") << QByteArray("/media/" + me + "/DJ Stick/a.mp3") << QStringLiteral("DJ Stick");
    QTest::newRow("/media/NAME") << QByteArray("/media/usb0/a.mp3") << QStringLiteral("usb0");
    QTest::newRow("/run/media/USER/NAME") << QByteArray("/run/media/anna/音乐盘/a.flac") << QStringLiteral("音乐盘");
    QTest::newRow("/mnt/NAME") << QByteArray("/mnt/archive/y.wav") << QStringLiteral("archive");
    QTest::newRow("/mnt itself") << QByteArray("/mnt") << QStringLiteral("本机");
    QTest::newRow("relative") << QByteArray("a/b.mp3") << QStringLiteral("本机");
}

void tst_Roots::volumeName()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, name);
    QCOMPARE(QLMediaSearch::volumeNameForPath(path), name);
}

void tst_Roots::mountInfo()
{
    const QByteArray text = "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
                            "40 30 8:17 / /media/me/My\\040Disk\\040 rw - vfat /dev/sdb1 rw\n"
                            "41 30 8:18 / /mnt/back\\134slash\\011tab rw master:3 - btrfs /dev/sdc rw\n"
                            "garbage line\n";
    const QList<QLPlatform::MountEntry> m = QLPlatform::parseMountInfo(text);
    QCOMPARE(m.size(), 3);
    QCOMPARE(m[0].fsType, QByteArray("proc"));
    QCOMPARE(m[1].mountPoint, QByteArray("/media/me/My Disk "));
    QCOMPARE(m[2].mountPoint, QByteArray("/mnt/back\\slash\ttab"));
    QCOMPARE(m[2].fsType, QByteArray("btrfs"));
    QVERIFY(!QLPlatform::isVirtualFileSystemType("tmpfs")); // /tmp and /dev/shm hold real files
    struct stat proc;
    QVERIFY(stat("/proc", &proc) == 0 && QLPlatform::virtualFileSystemDevices().contains(quint64(proc.st_dev)));
}

QTEST_GUILESS_MAIN(tst_Roots)
#include "tst_roots.moc"
