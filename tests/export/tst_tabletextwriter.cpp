#include "export/readingcsvwriter.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"

#include "tablemodels.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

Q_DECLARE_METATYPE(TextWriteResult)

class TstTableTextWriter : public QObject
{
    Q_OBJECT

private slots:
    void bytes_data();
    void bytes();
    void fallbackAfterFirstChunk();
    void failures_data();
    void failures();
    void csvFields();

private:
    QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryDir m_dir;
};

void TstTableTextWriter::bytes_data()
{
    QTest::addColumn<bool>("history");
    QTest::addColumn<QByteArray>("codec"); // empty: none given, the locale (Latin-1) decides
    QTest::addColumn<QByteArray>("used");
    QTest::addColumn<QString>("expected");

    const QString main = QStringLiteral("序号\t时间\t数据\t功能\n"
                                        "1\t10:00:01\t1.234\t直流电压\n"
                                        "2\t10:00:02\t-0.050\t直流电压\n"
                                        "3\t10:00:03\t+ OL \t直流电压\n");
    const QString history = QStringLiteral("序号\t时间\t数据\t单位\t功能\n"
                                           "1\t2024-05-01 10:00:01\t1.234\tV\t直流电压\n"
                                           "2\t2024-05-01 10:00:02\t012\tΩ\t电阻\n"
                                           "3\t2024-05-01 10:00:03\t\tmA\t交流电流\n");
    // A Chinese locale keeps its own encoding; one that cannot hold the texts
    // gets UTF-8 rather than question marks.
    QTest::newRow("history, GBK") << true << QByteArray("GBK") << QByteArray("GBK") << history;
    QTest::newRow("history, Latin-1") << true << QByteArray("ISO-8859-1") << QByteArray("UTF-8") << history;
    QTest::newRow("main, locale without Chinese") << false << QByteArray() << QByteArray("UTF-8") << main;
}

void TstTableTextWriter::bytes()
{
    QFETCH(bool, history);
    QFETCH(QByteArray, codec);
    QFETCH(QByteArray, used);
    QFETCH(QString, expected);
    auto model = history ? makeTable(historyHeaders(), historyRows()) : makeTable(mainHeaders(), mainRows());
    // Written over a longer file, which must not leave a tail behind.
    const QString path = m_dir.filePath("bytes.txt");
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(10000, 'x')) == 10000);
    old.close();

    QTextCodec *before = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    QByteArray usedCodec;
    const TextWriteResult result =
        writeTableText(*model, path, codec.isEmpty() ? nullptr : QTextCodec::codecForName(codec), &usedCodec);
    QTextCodec::setCodecForLocale(before);
    QCOMPARE(result, TextWriteResult::Written);
    QCOMPARE(usedCodec, used);
    QCOMPARE(readAll(path), QTextCodec::codecForName(used)->fromUnicode(expected));
}

void TstTableTextWriter::fallbackAfterFirstChunk()
{
    // Plain ASCII for megabytes, then one Chinese cell: the file written so
    // far must be started over in UTF-8, not continued in another encoding.
    QList<QStringList> rows;
    for (int i = 0; i < 60000; ++i)
        rows.append({"10:00:00", QString::number(i), "DC"});
    rows.append({"10:00:01", "1", QStringLiteral("电阻")});
    auto model = makeTable({"T", "D", "F"}, rows);

    const QString path = m_dir.filePath("late.txt");
    QByteArray used;
    QCOMPARE(writeTableText(*model, path, QTextCodec::codecForName("ISO-8859-1"), &used), TextWriteResult::Written);
    QCOMPARE(used, QByteArray("UTF-8"));
    const QByteArray bytes = readAll(path);
    QVERIFY(bytes.startsWith("序号\tT\tD\tF\n1\t10:00:00\t0\tDC\n"));
    QVERIFY(bytes.endsWith("60000\t10:00:00\t59999\tDC\n60001\t10:00:01\t1\t电阻\n"));
    QCOMPARE(bytes.count('\n'), 60002);
}

void TstTableTextWriter::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<TextWriteResult>("expected");
    QTest::addColumn<bool>("sizeLimit");
    QTest::addColumn<int>("rowCount");

    QTest::newRow("folder missing") << m_dir.filePath("gone/x.txt") << TextWriteResult::OpenFailed << false
                                    << 20000;
    // Few rows stay in the file's buffer: the failure shows only at the flush.
    QTest::newRow("disk full, short table") << "/dev/full" << TextWriteResult::WriteFailed << false << 3;
    QTest::newRow("disk full after some bytes (file size limit)")
        << m_dir.filePath("partial.txt") << TextWriteResult::WriteFailed << true << 20000;
    QTest::newRow("disk full over an earlier export")
        << m_dir.filePath("earlier.txt") << TextWriteResult::WriteFailed << true << 20000;
}

void TstTableTextWriter::failures()
{
    QFETCH(QString, path);
    QFETCH(TextWriteResult, expected);
    QFETCH(bool, sizeLimit);
    QFETCH(int, rowCount);

    QList<QStringList> rows;
    for (int i = 0; i < rowCount; ++i)
        rows.append({"10:00:00", QString::number(i), QStringLiteral("直流电压")});
    auto model = makeTable(mainHeaders(), rows);

    // A file size limit makes writes fail part way, as a full disk does.
    rlimit old = {};
    getrlimit(RLIMIT_FSIZE, &old);
    if (sizeLimit) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 64 * 1024;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    }
    // A failed export keeps the file it was to replace, untouched.
    const bool earlier = path.endsWith(QLatin1String("earlier.txt"));
    if (earlier) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("kept\n") == 5);
    }
    const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);
    const TextWriteResult result = writeTableText(*model, path, QTextCodec::codecForName("UTF-8"));
    if (sizeLimit)
        setrlimit(RLIMIT_FSIZE, &old);

    QCOMPARE(result, expected);
    QCOMPARE(QFileInfo::exists(path), earlier || path == QLatin1String("/dev/full"));
    if (earlier)
        QCOMPARE(readAll(path), QByteArray("kept\n"));
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before); // nothing left beside it
}

void TstTableTextWriter::csvFields()
{
    QCOMPARE(csvField("直流电压"), QStringLiteral("直流电压"));
    QCOMPARE(csvField("a,b"), QStringLiteral("\"a,b\""));
    QCOMPARE(csvField("say \"OL\""), QStringLiteral("\"say \"\"OL\"\"\""));
    QCOMPARE(csvField("two\nlines"), QStringLiteral("\"two\nlines\""));
    // West of Greenwich the offset is negative, with minutes.
    const QDateTime t(QDate(2024, 5, 1), QTime(10, 0, 0, 7), Qt::OffsetFromUTC, -(3 * 3600 + 1800));
    QCOMPARE(csvTime(t), QStringLiteral("2024-05-01T10:00:00.007-03:30"));
}

QTEST_GUILESS_MAIN(TstTableTextWriter)
#include "tst_tabletextwriter.moc"
