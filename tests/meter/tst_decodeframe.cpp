#include "mainwindow/tk52k_comm.h"
#include "meter/tkdatadas.h"
#include "resources/resources.h"

#include <QtTest>

class TestDecodeFrame : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void validFrameGivesAReadingOwnedByTheWindow();
    void invalidFrameGivesNothing_data();
    void invalidFrameGivesNothing();
};

void TestDecodeFrame::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
}

void TestDecodeFrame::validFrameGivesAReadingOwnedByTheWindow()
{
    TK52K_Comm window;
    const QDateTime before = QDateTime::currentDateTime();
    TkDataDas *reading =
        window.decodeFrame(QByteArray::fromHex("2D 31 32 33 34 20 34 30 00 00 80 00 0D 0A"));
    const QDateTime after = QDateTime::currentDateTime();
    QVERIFY(reading);
    QCOMPARE(reading->parent(), &window);
    QCOMPARE(reading->funcStr, QStringLiteral("DCV"));
    QCOMPARE(reading->rangeIndex, 3);
    QCOMPARE(reading->value, -123.4);
    QCOMPARE(reading->valueStr, QStringLiteral("-123.4"));
    QVERIFY(reading->negative);
    QVERIFY(reading->time >= before && reading->time <= after);
    QCOMPARE(reading->time.timeSpec(), Qt::LocalTime);
}

void TestDecodeFrame::invalidFrameGivesNothing_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("no space at byte 5")
        << QByteArray::fromHex("2B 30 35 30 30 21 32 30 00 00 80 00 0D 0A");
    QTest::newRow("noise in the digits")
        << QByteArray::fromHex("2B 30 35 FF 30 20 32 30 00 00 80 00 0D 0A");
    QTest::newRow("the never-filled frame buffer") << QByteArray(14, '\0');
}

void TestDecodeFrame::invalidFrameGivesNothing()
{
    QFETCH(QByteArray, frame);
    TK52K_Comm window;
    const int readingsBefore = window.findChildren<TkDataDas *>().size();
    QCOMPARE(window.decodeFrame(frame), nullptr);
    QCOMPARE(window.findChildren<TkDataDas *>().size(), readingsBefore);
}

QTEST_MAIN(TestDecodeFrame)
#include "tst_decodeframe.moc"
