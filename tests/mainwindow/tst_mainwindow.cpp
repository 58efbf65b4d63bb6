#include "mainwindow/tk52k_comm.h"
#include "mainwindow/windowplacement.h"
#include "resources/resources.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStatusBar>
#include <QTableView>
#include <QTime>
#include <QToolBar>
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
    void toolBarOrder();
    void statusBarShowsLinkStateAndClock();
    void clockAdvancesWithoutARun();
    void readingTableHeaders();
    void exitClosesTheWindow();
    void commandLine_data();
    void commandLine();

private:
    static QAction *action(TK52K_Comm &w, const char *name) { return w.findChild<QAction *>(QLatin1String(name)); }
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
    QVERIFY(action(w, "actionStart")->isEnabled());
    QVERIFY(!action(w, "actionStop")->isEnabled());
    QVERIFY(!action(w, "actionTxt")->isEnabled());
    QVERIFY(!action(w, "actionExcel")->isEnabled());
    QVERIFY(!action(w, "actionPrint")->isEnabled());
    for (const char *name : {"actionSettingComm", "actionSettingTime", "actionManual", "actionAbout", "actionExit",
                             "actionHisQuest"})
        QVERIFY2(action(w, name)->isEnabled(), name);
    QCOMPARE(w.windowTitle(), QStringLiteral("TALVIK 52K"));
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
    QCOMPARE(actionNames(top.at(1)->menu()->actions()), (QStringList{"串口设置", "|", "时间间隔"}));
    QCOMPARE(actionNames(top.at(2)->menu()->actions()), (QStringList{"软件使用说明", "|", "关于"}));
}

void TestMainWindow::toolBarOrder()
{
    TK52K_Comm w;
    auto *bar = w.findChild<QToolBar *>(QStringLiteral("mainToolBar"));
    QVERIFY(bar);
    QCOMPARE(actionNames(bar->actions()),
             (QStringList{"启动", "停止", "|", "导出TXT", "导出EXCEL", "打印", "|", "历史记录查询"}));
    QCOMPARE(bar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    QVERIFY(!bar->isMovable());
    // Every tool-bar command carries a picture of its own.
    for (QAction *a : bar->actions()) {
        if (!a->isSeparator())
            QVERIFY2(!a->icon().pixmap(16, 16).isNull(), qPrintable(a->text()));
    }
}

void TestMainWindow::statusBarShowsLinkStateAndClock()
{
    TK52K_Comm w;
    auto *status = w.findChild<QLabel *>(QStringLiteral("statusLabel"));
    auto *clock = w.findChild<QLabel *>(QStringLiteral("timeLabel"));
    QVERIFY(status && clock);
    QCOMPARE(status->text(), QStringLiteral("未连接"));
    QVERIFY(QTime::fromString(clock->text(), QStringLiteral("hh:mm:ss")).isValid());
    // The link state sits at the left, the clock at the right.
    w.resize(1000, 700);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(status->mapTo(&w, QPoint()).x() < clock->mapTo(&w, QPoint()).x());
    QVERIFY(clock->mapTo(&w, QPoint()).x() > w.width() / 2);
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

void TestMainWindow::readingTableHeaders()
{
    TK52K_Comm w;
    auto *view = w.findChild<QTableView *>(QStringLiteral("tableView"));
    QVERIFY(view && view->model());
    QCOMPARE(view->model()->columnCount(), 3);
    QStringList headers;
    for (int c = 0; c < 3; ++c)
        headers << view->model()->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(headers, (QStringList{"时间", "数据", "功能"}));
    QCOMPARE(view->columnWidth(0), 100);
    QCOMPARE(view->columnWidth(1), 150);
    QCOMPARE(view->columnWidth(2), 100);
    QCOMPARE(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
}

void TestMainWindow::exitClosesTheWindow()
{
    TK52K_Comm w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    action(w, "actionExit")->trigger();
    QVERIFY(!w.isVisible());
}

void TestMainWindow::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");
    QTest::newRow("version") << QStringList{"--version"} << QStringLiteral("2.0");
    QTest::newRow("help") << QStringList{"--help"} << QStringLiteral("--version");
}

void TestMainWindow::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    QProcess p;
    p.start(qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k"), args);
    QVERIFY2(p.waitForFinished(30000), "the program did not exit");
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(QString::fromUtf8(p.readAllStandardOutput()).contains(expected), qPrintable(expected));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
