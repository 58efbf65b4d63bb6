#include "export/tabletextwriter.h"

#include "tablemodels.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class TstTableTextWriter : public QObject
{
    Q_OBJECT

private slots:
    void bytes_data();
    void bytes();
    void encoding_data();
    void encoding();
    void fallbackAfterFirstChunk();
    void localeWithoutChinese();
    void replacesExistingFile();
    void failures_data();
    void failures();

private:
    QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    QTemporaryDir m_dir;
};

void TstTableTextWriter::bytes_data()
{
    QTest::addColumn<QStringList>("headers");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("main, header only") << mainHeaders() << QList<QStringList>()
                                       << QByteArray("序号\t时间\t数据\t功能\n");
    QTest::newRow("history, header only") << historyHeaders() << QList<QStringList>()
                                          << QByteArray("序号\t时间\t数据\t单位\t功能\n");
    QTest::newRow("main, three rows: four fields")
        << mainHeaders() << mainRows()
        << QByteArray("序号\t时间\t数据\t功能\n"
                      "1\t10:00:01\t1.234\t直流电压\n"
                      "2\t10:00:02\t-0.050\t直流电压\n"
                      "3\t10:00:03\t+ OL \t直流电压\n");
    QTest::newRow("history, three rows: five fields, empty cell kept")
        << historyHeaders() << historyRows()
        << QByteArray("序号\t时间\t数据\t单位\t功能\n"
                      "1\t2024-05-01 10:00:01\t1.234\tV\t直流电压\n"
                      "2\t2024-05-01 10:00:02\t012\tΩ\t电阻\n"
                      "3\t2024-05-01 10:00:03\t\tmA\t交流电流\n");
}

void TstTableTextWriter::bytes()
{
    QFETCH(QStringList, headers);
    QFETCH(QList<QStringList>, rows);
    QFETCH(QByteArray, expected);
    auto model = makeTable(headers, rows);
    const QString path = m_dir.filePath("bytes.txt");
    QCOMPARE(writeTableText(*model, path, QTextCodec::codecForName("UTF-8")),
             TextWriteResult::Written);
    QCOMPARE(readAll(path), expected);
}

void TstTableTextWriter::encoding_data()
{
    QTest::addColumn<QByteArray>("codec");
    QTest::addColumn<QByteArray>("written");

    // A Chinese locale keeps its own encoding; one that cannot hold the
    // texts gets UTF-8 rather than question marks.
    QTest::newRow("GBK locale") << QByteArray("GBK") << QByteArray("GBK");
    QTest::newRow("GB18030 locale") << QByteArray("GB18030") << QByteArray("GB18030");
    QTest::newRow("UTF-8 locale") << QByteArray("UTF-8") << QByteArray("UTF-8");
    QTest::newRow("Latin-1 locale") << QByteArray("ISO-8859-1") << QByteArray("UTF-8");
}

void TstTableTextWriter::encoding()
{
    QFETCH(QByteArray, codec);
    QFETCH(QByteArray, written);
    auto model = makeTable(historyHeaders(), historyRows());
    const QString path = m_dir.filePath("enc.txt");
    QByteArray used;
    QCOMPARE(writeTableText(*model, path, QTextCodec::codecForName(codec), &used),
             TextWriteResult::Written);
    QCOMPARE(used, written);

    const QString expected = QStringLiteral("序号\t时间\t数据\t单位\t功能\n"
                                            "1\t2024-05-01 10:00:01\t1.234\tV\t直流电压\n"
                                            "2\t2024-05-01 10:00:02\t012\tΩ\t电阻\n"
                                            "3\t2024-05-01 10:00:03\t\tmA\t交流电流\n");
    QCOMPARE(readAll(path), QTextCodec::codecForName(written)->fromUnicode(expected));
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
    QCOMPARE(writeTableText(*model, path, QTextCodec::codecForName("ISO-8859-1"), &used),
             TextWriteResult::Written);
    QCOMPARE(used, QByteArray("UTF-8"));
    const QByteArray bytes = readAll(path);
    QVERIFY(bytes.startsWith("序号\tT\tD\tF\n1\t10:00:00\t0\tDC\n"));
    QVERIFY(bytes.endsWith("60000\t10:00:00\t59999\tDC\n60001\t10:00:01\t1\t电阻\n"));
    QCOMPARE(bytes.count('\n'), 60002);
}

void TstTableTextWriter::localeWithoutChinese()
{
    // No codec given: the locale's is used, and a locale that cannot hold
    // Chinese (as under LANG=C) still yields a readable file.
    QTextCodec *before = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    auto model = makeTable(mainHeaders(), mainRows());
    const QString path = m_dir.filePath("c-locale.txt");
    QByteArray used;
    const TextWriteResult result = writeTableText(*model, path, nullptr, &used);
    QTextCodec::setCodecForLocale(before);
    QCOMPARE(result, TextWriteResult::Written);
    QCOMPARE(used, QByteArray("UTF-8"));
    QVERIFY(readAll(path).startsWith("序号\t时间\t数据\t功能\n1\t10:00:01"));
}

void TstTableTextWriter::replacesExistingFile()
{
    const QString path = m_dir.filePath("old.txt");
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(10000, 'x'));
    }
    auto model = makeTable(mainHeaders(), {});
    QCOMPARE(writeTableText(*model, path, QTextCodec::codecForName("UTF-8")),
             TextWriteResult::Written);
    QCOMPARE(readAll(path), QByteArray("序号\t时间\t数据\t功能\n"));
}

void TstTableTextWriter::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("sizeLimit");

    QTest::newRow("folder missing") << m_dir.filePath("gone/x.txt")
                                    << int(TextWriteResult::OpenFailed) << false;
    QTest::newRow("a file where the folder should be")
        << m_dir.filePath("plainfile/x.txt") << int(TextWriteResult::OpenFailed) << false;
    QTest::newRow("disk full (/dev/full)") << "/dev/full" << int(TextWriteResult::WriteFailed)
                                           << false;
    QTest::newRow("disk full after some bytes (file size limit)")
        << m_dir.filePath("partial.txt") << int(TextWriteResult::WriteFailed) << true;
}

void TstTableTextWriter::failures()
{
    QFETCH(QString, path);
    QFETCH(int, expected);
    QFETCH(bool, sizeLimit);

    {
        QFile plain(m_dir.filePath("plainfile"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
    }
    QList<QStringList> rows;
    for (int i = 0; i < 20000; ++i)
        rows.append({"10:00:00", QString::number(i), QStringLiteral("直流电压")});
    auto model = makeTable(mainHeaders(), rows);

    // A file size limit makes writes fail part way, as a full disk does,
    // without needing a full disk.
    rlimit old = {};
    getrlimit(RLIMIT_FSIZE, &old);
    if (sizeLimit) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 64 * 1024;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    }
    const TextWriteResult result = writeTableText(*model, path, QTextCodec::codecForName("UTF-8"));
    if (sizeLimit)
        setrlimit(RLIMIT_FSIZE, &old);

    QCOMPARE(int(result), expected);
    if (path == QLatin1String("/dev/full"))
        QVERIFY(QFileInfo::exists("/dev/full")); // a device is never removed
    else
        QVERIFY(!QFileInfo::exists(path));
}

QTEST_GUILESS_MAIN(TstTableTextWriter)
#include "tst_tabletextwriter.moc"
