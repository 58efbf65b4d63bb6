// The main window's status bar tells whether the record store reaches its
// server.

#include "scratchdatabase.h"

#include "mainwindow/tk52k_comm.h"

#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

class TestDbStatusLabel : public QObject
{
    Q_OBJECT

private slots:
    void showsWhenTheServerIsReached();
};

void TestDbStatusLabel::showsWhenTheServerIsReached()
{
    // The window's writer makes the database itself.
    ScratchDatabase db(QStringLiteral("dbstatuslabel"), ScratchDatabase::Content::Nothing);
    QVERIFY2(db.isReady(), qPrintable(db.error()));
    QTemporaryDir spool;
    qputenv("TK52K_SPOOL_DIR", QFile::encodeName(spool.path()));

    TK52K_Comm window;
    auto *label = window.findChild<QLabel *>(QStringLiteral("dbStateLabel"));
    QVERIFY(label);
    QVERIFY(window.statusBar()->isAncestorOf(label));
    // Not connected until the writer has reached the server and made its database.
    QCOMPARE(label->text(), QStringLiteral("数据库未连接（待写入 0 条）"));
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("数据库已连接"), 20000);
}

QTEST_MAIN(TestDbStatusLabel)
#include "tst_dbstatuslabel.moc"
