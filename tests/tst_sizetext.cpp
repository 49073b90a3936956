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
    QTest::newRow("negative") << qint64(-1) << QStringLiteral("0 B");
    QTest::newRow("1") << qint64(1) << QStringLiteral("1 B");
    QTest::newRow("1023") << qint64(1023) << QStringLiteral("1023 B");
    QTest::newRow("1024") << k << QStringLiteral("1.0 KB");
    QTest::newRow("1536") << qint64(1536) << QStringLiteral("1.5 KB");
    QTest::newRow("just under a MB") << qint64(1048575) << QStringLiteral("1024.0 KB");
    QTest::newRow("tie rounds to even, as printf") << qint64(5.25 * k * k) << QStringLiteral("5.2 MB");
    QTest::newRow("1 GB") << k * k * k << QStringLiteral("1.0 GB");
    QTest::newRow("1024 TB") << k * k * k * k * k << QStringLiteral("1024.0 TB");
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << QStringLiteral("8388608.0 TB");
}

void tst_SizeText::humanSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(QLMediaSearch::humanSize(bytes), text);
}

QTEST_GUILESS_MAIN(tst_SizeText)
#include "tst_sizetext.moc"
