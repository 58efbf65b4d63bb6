#include "mainwindow/tk52k_comm.h"
#include "mainwindow/windowplacement.h"
#include "resources/resources.h"

#include <QAction>
#include <QGroupBox>
#include <QMenu>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <QTime>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void placement_data();
    void placement();
    void initialCommandStates();
    void menusHoldTheirActions();
    void fitsSmallScreen();
    void clockAdvancesWithoutARun();
    void commandLine_data();
    void commandLine();

private:
    static QStringList actionNames(const QList<QAction *> &actions);
};

void TestMainWindow::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
}

void TestMainWindow::placement_data()
{
    QTest::addColumn<QSize>("desktop");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("pos");
    QTest::newRow("full hd") << QSize(1920, 1080) << QSize(1536, 864) << QPoint(192, 108);
    // 1366 * 0.8 = 1092.8 and 768 * 0.8 = 614.4: both truncated.
    QTest::newRow("truncates") << QSize(1366, 768) << QSize(1092, 614) << QPoint(137, 77);
    QTest::newRow("odd remainder") << QSize(1023, 767) << QSize(818, 613) << QPoint(102, 77);
}

void TestMainWindow::placement()
{
    QFETCH(QSize, desktop);
    QFETCH(QSize, size);
    QFETCH(QPoint, pos);
    QCOMPARE(initialWindowSize(desktop), size);
    QCOMPARE(centredWindowPosition(desktop, size), pos);
}

void TestMainWindow::initialCommandStates()
{
    TK52K_Comm w;
    QCOMPARE(w.windowTitle(), QStringLiteral("TALVIK 52K"));
    // Nothing to stop or export yet; every other command is ready.
    const QStringList off{"actionStop", "actionTxt", "actionExcel", "actionPrint"};
    int seenOff = 0;
    for (QAction *a : w.findChildren<QAction *>(QRegularExpression(QStringLiteral("^action")))) {
        seenOff += off.contains(a->objectName());
        QVERIFY2(a->isEnabled() != off.contains(a->objectName()), qPrintable(a->objectName()));
    }
    QCOMPARE(seenOff, off.size());
}

QStringList TestMainWindow::actionNames(const QList<QAction *> &actions)
{
    QStringList names;
    for (QAction *a : actions)
        names << (a->isSeparator() ? QStringLiteral("|") : a->text());
    return names;
}

void TestMainWindow::menusHoldTheirActions()
{
    TK52K_Comm w;
    const QList<QAction *> top = w.menuBar()->actions();
    QCOMPARE(actionNames(top), (QStringList{"文件", "设置", "帮助"}));
    QCOMPARE(actionNames(top.at(0)->menu()->actions()), (QStringList{"历史记录查询", "|", "退出"}));
    QCOMPARE(actionNames(top.at(1)->menu()->actions()),
             (QStringList{"串口设置", "|", "时间间隔", "|", "语言", "|", "断线后继续采集"}));
    QCOMPARE(actionNames(top.at(2)->menu()->actions()), (QStringList{"软件使用说明", "|", "关于"}));
}

// On a 1366×768 screen the first run opens at four fifths of it: the window's
// minimum must not push it wider, and the front panel, the table and the
// extremes stay whole; the plot gives way.
void TestMainWindow::fitsSmallScreen()
{
    TK52K_Comm w;
    w.resize(initialWindowSize(QSize(1366, 768)));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.size(), QSize(1092, 614));
    QCOMPARE(w.findChild<QGroupBox *>(QStringLiteral("groupBox"))->size(), QSize(561, 341));
    for (const char *name : {"groupBox", "groupBox_2", "tableView", "qwtPlot"}) {
        const QWidget *child = w.findChild<QWidget *>(QLatin1String(name));
        QVERIFY2(child->isVisible() && child->height() > 50, name);
        QVERIFY2(w.rect().contains(QRect(child->mapTo(&w, QPoint()), child->size())), name);
    }
}

void TestMainWindow::clockAdvancesWithoutARun()
{
    TK52K_Comm w;
    auto *clock = w.findChild<QLabel *>(QStringLiteral("timeLabel"));
    const QString first = clock->text();
    QTRY_VERIFY_WITH_TIMEOUT(clock->text() != first, 5000);
    const QTime shown = QTime::fromString(clock->text(), QStringLiteral("hh:mm:ss"));
    QVERIFY(shown.isValid());
    QVERIFY(qAbs(shown.secsTo(QTime::currentTime())) <= 2 || qAbs(shown.secsTo(QTime::currentTime())) >= 86398);
}

void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");
    QTest::newRow("version") << QStringList{"--version"} << 0 << "2.0";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "--version";
    for (const char *interval : {"0", "3601", "often", "1.5"})
        QTest::newRow(interval) << QStringList{"--interval", interval} << 2 << "--interval";
    QTest::newRow("unknown language") << QStringList{"--lang", "fr"} << 2 << "--lang";
}

void TestMainWindow::commandLine()
{
    QFETCH(QStringList, args);
    QProcess p;
    p.start(qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k"), args);
    QVERIFY2(p.waitForFinished(30000), "the program did not exit");
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QTEST(p.exitCode(), "exitCode");
    const QString said = QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
    QFETCH(QString, expected);
    QVERIFY2(said.contains(expected), qPrintable(said));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
