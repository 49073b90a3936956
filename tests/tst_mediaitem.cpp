#include "pathutil.h"
#include "qlmediaitem.h"

#include <QTest>

#include <thread>

class tst_MediaItem final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void kindForExt_data();
    void kindForExt();
    void originIsSafeToReadWhileWritten();
    void displayName_data();
    void displayName();
};

void tst_MediaItem::kindForExt_data()
{
    QTest::addColumn<QByteArray>("ext");
    QTest::addColumn<quint64>("bit");
    const QList<QPair<const char *, quint64>> rows = {
        {"MP3", 1}, {"Mp3", 1}, {"mp4", 2}, {"m4a", 4}, {"M4B", 4}, {"wav", 8}, {"aiff", 16}, {"AIF", 16},
        {"m4v", 32}, {"mov", 64}, {"FLAC", 128}, {"", 0}, {".mp3", 0}, {"ogg", 0}, {"aac", 0}, {"flacc", 0},
        {"mp3 ", 0}, {"\xef\xbd\x8d\xef\xbd\x90\xef\xbc\x93", 0} /* fullwidth ｍｐ３ */, {"mp\xff", 0},
    };
    for (const auto &[ext, bit] : rows)
        QTest::newRow(*ext ? ext : "empty") << QByteArray(ext) << bit;
}

void tst_MediaItem::kindForExt()
{
    // The walk's byte fast path and the text rule must agree on every spelling.
    QFETCH(QByteArray, ext);
    QFETCH(quint64, bit);
    QCOMPARE(QLKindForExt(QString::fromUtf8(ext)), bit);
    QCOMPARE(QLKindForExtBytes(ext.constData(), ext.size()), bit);
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
    while (!stop) {
        const QString o = item.origin();
        QVERIFY(o == QLatin1String("walk") || o == QLatin1String("both"));
    }
    writer.join();
}

void tst_MediaItem::displayName_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("UTF-8") << QByteArray("Caf\xc3\xa9 \xe9\x9d\x92.mp3") << QStringLiteral("Café 青.mp3");
    QTest::newRow("GBK") << QByteArray("\xc7\xe0\xc4\xf1.mp3") << QStringLiteral("青鸟.mp3");
    QTest::newRow("neither") << QByteArray("\xff.wav") << QStringLiteral("\ufffd.wav");
    // Read as GB18030 only when all of it is: no half-decoded names.
    QTest::newRow("GBK then garbage") << QByteArray("\xc7\xe0\xff.mp3") << QStringLiteral("\ufffd\ufffd\ufffd.mp3");
}

void tst_MediaItem::displayName()
{
    QFETCH(QByteArray, bytes);
    QTEST(qlDisplayName(bytes), "shown");
}

QTEST_GUILESS_MAIN(tst_MediaItem)
#include "tst_mediaitem.moc"
