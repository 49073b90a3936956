#include "qlmediaitem.h"

#include <QTest>

#include <thread>

class tst_MediaItem final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void kindForExt_data();
    void kindForExt();
    void kindForExtBytesAgreesWithText();
    void searchOptionsDefaults();
    void description();
    void originIsSafeToReadWhileWritten();
};

void tst_MediaItem::kindForExt_data()
{
    QTest::addColumn<QString>("ext");
    QTest::addColumn<quint64>("bit");
    QTest::newRow("MP3") << QStringLiteral("MP3") << quint64(1);
    QTest::newRow("Mp3") << QStringLiteral("Mp3") << quint64(1);
    QTest::newRow("mp3") << QStringLiteral("mp3") << quint64(1);
    QTest::newRow("mp4") << QStringLiteral("mp4") << quint64(2);
    QTest::newRow("m4a") << QStringLiteral("m4a") << quint64(4);
    QTest::newRow("M4B") << QStringLiteral("M4B") << quint64(4);
    QTest::newRow("wav") << QStringLiteral("wav") << quint64(8);
    QTest::newRow("aiff") << QStringLiteral("aiff") << quint64(16);
    QTest::newRow("AIF") << QStringLiteral("AIF") << quint64(16);
    QTest::newRow("m4v") << QStringLiteral("m4v") << quint64(32);
    QTest::newRow("mov") << QStringLiteral("mov") << quint64(64);
    QTest::newRow("flac") << QStringLiteral("FLAC") << quint64(128);
    QTest::newRow("absent") << QString() << quint64(0);
    QTest::newRow("empty") << QStringLiteral("") << quint64(0);
    QTest::newRow("with dot") << QStringLiteral(".mp3") << quint64(0);
    QTest::newRow("ogg") << QStringLiteral("ogg") << quint64(0);
    QTest::newRow("aac") << QStringLiteral("aac") << quint64(0);
    QTest::newRow("mp3 with space") << QStringLiteral("mp3 ") << quint64(0);
    QTest::newRow("fullwidth MP3") << QStringLiteral("ＭＰ３") << quint64(0);
}

void tst_MediaItem::kindForExt()
{
    QFETCH(QString, ext);
    QFETCH(quint64, bit);
    QCOMPARE(QLKindForExt(ext), bit);
}

void tst_MediaItem::kindForExtBytesAgreesWithText()
{
    // The walk's byte fast path must agree with the text rule for every spelling.
    const QList<QByteArray> samples = {"mp3", "MP3", "mP4", "M4b", "AiFf", "aif", "flac", "FLAC", "flacc",
                                       "m4", "", "jpeg", "\xc3\xa9", "mp\xff", "K", "ｍｐ３"};
    for (const QByteArray &s : samples)
        QCOMPARE(QLKindForExtBytes(s.constData(), s.size()), QLKindForExt(QString::fromUtf8(s)));
}

void tst_MediaItem::searchOptionsDefaults()
{
    const QLSearchOptions o;
    QVERIFY(o.keyword().isEmpty());
    QCOMPARE(o.kinds(), quint64(0xFFFFFFFF));
    QVERIFY(o.roots().isEmpty());
    QCOMPARE(o.limit(), quint64(0));
    QVERIFY(o.skipHidden());
    QCOMPARE(o.minSize(), qint64(0));
    QVERIFY(o.useSpotlight());
}

void tst_MediaItem::description()
{
    QLMediaItem a;
    a.setName(QStringLiteral("a.mp3"));
    a.setSizeBytes(1024);
    QCOMPARE(a.description(), QStringLiteral("<a.mp3 1024B walk>"));
    QLMediaItem x;
    x.setName(QStringLiteral("x.flac"));
    x.setOrigin(QStringLiteral("spotlight"));
    QCOMPARE(x.description(), QStringLiteral("<x.flac 0B spotlight>"));
    x.setOrigin(QStringLiteral("both"));
    QCOMPARE(x.origin(), QStringLiteral("both"));
}

void tst_MediaItem::originIsSafeToReadWhileWritten()
{
    // The search thread turns "walk" into "both" while the window reads it.
    QLMediaItem item;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            item.setOrigin(i % 2 ? QStringLiteral("both") : QStringLiteral("walk"));
        stop = true;
    });
    int seen = 0;
    while (!stop) {
        const QString o = item.origin();
        QVERIFY(o == QLatin1String("walk") || o == QLatin1String("both"));
        ++seen;
    }
    writer.join();
    QVERIFY(seen > 0);
}

QTEST_GUILESS_MAIN(tst_MediaItem)
#include "tst_mediaitem.moc"
