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
    const QList<QPair<qint64, const char *>> rows = {
        {-1, "0 B"}, {1, "1 B"}, {1023, "1023 B"}, {k, "1.0 KB"}, {1536, "1.5 KB"}, {k * k - 1, "1024.0 KB"},
        {qint64(5.25 * k * k), "5.2 MB"} /* a tie goes to the even digit, as in printf */, {k * k * k, "1.0 GB"},
        {k * k * k * k * k, "1024.0 TB"}, {std::numeric_limits<qint64>::max(), "8388608.0 TB"},
    };
    for (const auto &[bytes, text] : rows)
        QTest::newRow(text) << bytes << QString::fromUtf8(text);
}

void tst_SizeText::humanSize()
{
    QFETCH(qint64, bytes);
    QTEST(QLMediaSearch::humanSize(bytes), "text");
}

QTEST_GUILESS_MAIN(tst_SizeText)
#include "tst_sizetext.moc"
