#include "qlmediasearch.h"

#include <QTest>

#include <limits>

class tst_SizeText final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void humanSize_data();
    void humanSize();
};

void tst_SizeText::humanSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    const qint64 k = 1024;
    QTest::newRow("0") << qint64(0) << QStringLiteral("0 B");
    QTest::newRow("negative") << qint64(-1) << QStringLiteral("0 B");
    QTest::newRow("lowest") << std::numeric_limits<qint64>::min() << QStringLiteral("0 B");
    QTest::newRow("1") << qint64(1) << QStringLiteral("1 B");
    QTest::newRow("1023") << qint64(1023) << QStringLiteral("1023 B");
    QTest::newRow("1024") << k << QStringLiteral("1.0 KB");
    QTest::newRow("1536") << qint64(1536) << QStringLiteral("1.5 KB");
    QTest::newRow("1048575") << qint64(1048575) << QStringLiteral("1024.0 KB");
    QTest::newRow("1048576") << k * k << QStringLiteral("1.0 MB");
    QTest::newRow("rounding 5.25 MB") << qint64(5.25 * k * k) << QStringLiteral("5.2 MB"); // 5.25 is exact: half to even, as printf
    QTest::newRow("1 GB") << k * k * k << QStringLiteral("1.0 GB");
    QTest::newRow("1 TB") << k * k * k * k << QStringLiteral("1.0 TB");
    QTest::newRow("1024 TB") << k * k * k * k * k << QStringLiteral("1024.0 TB");
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << QStringLiteral("8388608.0 TB");
}

void tst_SizeText::humanSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(QLMediaSearch::humanSize(bytes), text);
    // The same text printf gives in the C locale, for the values it formats.
    if (bytes >= 1024) {
        double v = double(bytes) / 1024;
        int u = 1;
        while (u < 4 && v >= 1024.0) {
            v /= 1024;
            ++u;
        }
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.1f %s", v, (const char *[]){"B", "KB", "MB", "GB", "TB"}[u]);
        QCOMPARE(QLMediaSearch::humanSize(bytes), QString::fromLatin1(buf));
    }
}

QTEST_GUILESS_MAIN(tst_SizeText)
#include "tst_sizetext.moc"
