// The range dialog, the main window's range check and the history window,
// against a real PostgreSQL server.
#include "scratchdatabase.h"

#include "store/recordschema.h"

#include "history/hissettingform.h"
#include "history/historyloader.h"
#include "history/historytablemodel.h"
#include "history/hisviewform.h"
#include "mainwindow/tk52k_comm.h"
#include "meter/statsbox.h"
#include "modaldriver.h"
#include "resources/resources.h"
#include "store/alarmeventstore.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>

namespace {

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

template <typename T> QList<T *> topLevels()
{
    QList<T *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *t = qobject_cast<T *>(w); t && t->isVisible())
            found << t;
    }
    return found;
}

void closeAllTopLevels()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        w->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestHistoryWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void rangeCheck_data();
    void rangeCheck();
    void statusBarShowsTheStore();
    void twoQueriesTwoWindows();
    void windowShowsRowsAndCurve_data();
    void windowShowsRowsAndCurve();
    void statisticsAlarmsAndQuantityChoice();
    void cancelKeepsWhatWasRead();
    void failedLoadSaysWhy();
    void exportWaitsForTheLoad();
    void rangeBarReloads();
    void oneMeterOrAll();

private:
    QTemporaryDir m_spool;
    std::unique_ptr<ScratchDatabase> m_db;
};

void TestHistoryWindow::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    QVERIFY(m_spool.isValid());
    qputenv("TK52K_SPOOL_DIR", QFile::encodeName(m_spool.path()));
    m_db = std::make_unique<ScratchDatabase>(QStringLiteral("historywindow"));
    QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));

    QVERIFY(m_db->insert(at("2024-05-01 10:00:20"), "3.000", "V", "直流电压", "14"));
    QVERIFY(m_db->insert(at("2024-05-01 10:00:00"), "1.000", "V", "直流电压", "14"));
    QVERIFY(m_db->insert(at("2024-05-01 10:00:05"), "+ O.L ", "A", "直流电流", "14"));
    // Rows of a range index no meter has, as a foreign writer might leave them.
    QVERIFY(m_db->insert(at("2024-05-02 08:00:00"), "100", "V", "直流电压", "99"));
    QVERIFY(m_db->insert(at("2024-05-02 08:00:01"), "5000", "V", "直流电压", "2"));
    QVERIFY(m_db->insert(at("2024-05-03 23:59:50"), "1.000", "V", "直流电压", "2"));
    QVERIFY(m_db->insert(at("2024-05-04 00:00:05"), "2.000", "V", "直流电压", "2"));
    QVERIFY2(m_db->exec(RecordSchema::insertInto() +
                        QStringLiteral("SELECT '直流电压', to_char(i % 8000 / 1000.0, 'FM0.000'), 'V', '2', "
                                       "timestamp '2024-06-01 00:00:00' + (i / 17) * interval '1 second' "
                                       "FROM generate_series(0, 299999) i")),
             qPrintable(m_db->error()));
}

void TestHistoryWindow::cleanup()
{
    closeAllTopLevels();
}

void TestHistoryWindow::rangeCheck_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("warns");
    QTest::addColumn<bool>("opens");
    QTest::newRow("same second") << 0 << "pushButton" << true << false;
    QTest::newRow("stop before start") << -60 << "pushButton" << true << false;
    QTest::newRow("one second") << 1 << "pushButton" << false << true;
    QTest::newRow("cancelled") << 1 << "pushButton_2" << false << false;
}

void TestHistoryWindow::rangeCheck()
{
    QFETCH(int, seconds);
    QFETCH(QString, button);
    QFETCH(bool, warns);
    QFETCH(bool, opens);

    TK52K_Comm window;
    window.doMenuHis();
    const QList<HisSettingForm *> forms = topLevels<HisSettingForm>();
    QCOMPARE(forms.size(), 1);
    QPointer<HisSettingForm> form = forms.first();
    const QDateTime start = at("2024-05-01 10:00:00");
    form->findChild<QDateTimeEdit *>("startDateTimeEdit")->setDateTime(start);
    form->findChild<QDateTimeEdit *>("StopDateTimeEdit")->setDateTime(start.addSecs(seconds));

    ModalDriver driver;
    bool formClosedFirst = false;
    driver.add([&](QWidget *w) {
        formClosedFirst = !form || !form->isVisible();
        auto *box = qobject_cast<QMessageBox *>(w);
        if (!box)
            return ModalDriver::Handled::NotMine;
        driver.boxes.append(SeenBox::of(box));
        box->button(QMessageBox::Ok)->click();
        return ModalDriver::Handled::Done;
    });
    form->findChild<QPushButton *>(button)->click();
    QCOMPARE(driver.unexpected, 0);
    QVERIFY(!form || !form->isVisible());
    QCOMPARE(driver.boxes.size(), warns ? 1 : 0);
    if (warns) {
        QCOMPARE(driver.boxes.first().text, QStringLiteral("停止时间要大于起始时间！"));
        QVERIFY(formClosedFirst);
    }
    const QList<HisViewForm *> views = topLevels<HisViewForm>();
    QCOMPARE(views.size(), opens ? 1 : 0);
    if (!opens)
        return;
    QTRY_VERIFY_WITH_TIMEOUT(!views.first()->isLoading(), 30000);
    const HistoryTableModel *model = views.first()->historyModel();
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(model->data(model->index(0, 0)).toString(), QStringLiteral("2024-05-01 10:00:00"));
}

// The main window's status bar tells whether the record store reaches its server.
void TestHistoryWindow::statusBarShowsTheStore()
{
    TK52K_Comm window;
    auto *label = window.statusBar()->findChild<QLabel *>(QStringLiteral("dbStateLabel"));
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("数据库未连接（待写入 0 条）"));
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("数据库已连接"), 20000);
}

void TestHistoryWindow::twoQueriesTwoWindows()
{
    TK52K_Comm window;
    window.doHisSettingBtnEnter(at("2024-05-01 10:00:00"), at("2024-05-01 10:00:20"));
    window.doHisSettingBtnEnter(at("2024-05-01 10:00:00"), at("2024-05-01 10:00:05"));
    const QList<HisViewForm *> views = topLevels<HisViewForm>();
    QCOMPARE(views.size(), 2);
    for (HisViewForm *v : views)
        QTRY_VERIFY_WITH_TIMEOUT(!v->isLoading(), 30000);
    QList<int> counts{views[0]->historyModel()->rowCount(), views[1]->historyModel()->rowCount()};
    std::sort(counts.begin(), counts.end());
    QCOMPARE(counts, (QList<int>{2, 3}));
}

void TestHistoryWindow::windowShowsRowsAndCurve_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QVector<QPointF>>("points");
    QTest::addColumn<double>("yLow"); // NaN: the axis scales itself
    QTest::addColumn<double>("yHigh");
    QTest::addColumn<QString>("firstLabel");
    const double autoScale = qQNaN();
    // Row 0's range 14 fixes the y axis at -12 … 12; the curve draws row 0's
    // quantity only, the table every row.
    QTest::newRow("range of row 0") << at("2024-05-01 10:00:00") << QStringList{"1.000", "+ O.L ", "3.000"}
                                    << QVector<QPointF>{{0, 1}, {20, 3}} << -12.0 << 12.0 << "10:00:00";
    QTest::newRow("row 0 of an unknown range")
        << at("2024-05-02 08:00:00") << QStringList{"100", "5000"} << QVector<QPointF>{{0, 100}, {1, 5000}}
        << autoScale << autoScale << "08:00:00";
    // Rows on two days: the axis shows the date too.
    QTest::newRow("across midnight") << at("2024-05-03 23:59:50") << QStringList{"1.000", "2.000"}
                                     << QVector<QPointF>{{0, 1}, {15, 2}} << -80.0 << 80.0
                                     << "2024-05-03\n23:59:50";
    QTest::newRow("empty") << at("2020-01-01 00:00:00") << QStringList() << QVector<QPointF>() << -800.0
                           << 800.0 << QString();
}

void TestHistoryWindow::windowShowsRowsAndCurve()
{
    QFETCH(QDateTime, from);
    QFETCH(QStringList, values);
    QFETCH(QVector<QPointF>, points);
    QFETCH(double, yLow);
    QFETCH(double, yHigh);
    QFETCH(QString, firstLabel);
    HisViewForm view;
    view.show();
    view.loadRange(m_db->settings(), from, from.addSecs(20));
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);

    const HistoryTableModel *model = view.historyModel();
    QCOMPARE(model->rowCount(), values.size());
    for (int r = 0; r < values.size(); ++r)
        QCOMPARE(model->data(model->index(r, 1)).toString(), values[r]);
    QCOMPARE(int(view.curve()->dataSize()), points.size());
    for (int i = 0; i < points.size(); ++i)
        QCOMPARE(view.curve()->sample(i), points[i]);
    QCOMPARE(view.plot()->axisAutoScale(QwtPlot::yLeft), qIsNaN(yLow));
    view.plot()->replot();
    const QwtScaleDiv y = view.plot()->axisScaleDiv(QwtPlot::yLeft);
    QVERIFY(qIsNaN(yLow) ? y.lowerBound() <= 100 && y.upperBound() >= 5000
                         : y.lowerBound() == yLow && y.upperBound() == yHigh);
    const QwtScaleDraw *draw = view.plot()->axisScaleDraw(QwtPlot::xBottom);
    QCOMPARE(draw->label(0).text(), firstLabel);
    // No alarm table in this database yet: no events, and no error either.
    QCOMPARE(view.alarmList()->count(), 0);
}

// A range of volts and an ampere overload: the figures and the curve are of
// one quantity at a time, the selector switches, and the range's alarm
// events are listed.
void TestHistoryWindow::statisticsAlarmsAndQuantityChoice()
{
    QVERIFY2(m_db->exec(QLatin1String(AlarmEventSchema::kCreateTable)), qPrintable(m_db->error()));
    QVERIFY2(
        m_db->exec(QStringLiteral(
            "INSERT INTO alarm_event (event_time, funcstr, unitstr, limit_kind, limit_value, value, raised) "
            "VALUES ('2024-05-01 10:00:20.250', '直流电压', 'V', 'high', 2, 3, true), "
            "       ('2024-05-01 09:59:59', '直流电压', 'V', 'high', 2, 1, false), "
            "       ('2024-05-01 10:00:20.500', '直流电压', 'V', 'high', 2, 1.5, false)")),
        qPrintable(m_db->error()));
    HisViewForm view;
    view.show();
    view.loadRange(m_db->settings(), at("2024-05-01 10:00:00"), at("2024-05-01 10:00:21"));
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);

    QComboBox *selector = view.quantitySelector();
    QCOMPARE(selector->count(), 2);
    const StatsBox *stats = view.statsBox();
    QCOMPARE(stats->figureText(QStringLiteral("count")), QStringLiteral("2"));
    QCOMPARE(stats->figureText(QStringLiteral("mean")), QStringLiteral("2 V"));
    QCOMPARE(stats->figureText(QStringLiteral("max")), QStringLiteral("3 V (10:00:20)"));

    selector->setCurrentIndex(1);
    QCOMPARE(int(view.curve()->dataSize()), 1);
    QCOMPARE(view.curve()->sample(0), QPointF(5, 12));
    QCOMPARE(stats->figureText(QStringLiteral("count")), QStringLiteral("0"));
    QCOMPARE(stats->figureText(QStringLiteral("overloads")), QStringLiteral("1"));
    QCOMPARE(view.historyModel()->rowCount(), 3);

    const QListWidget *alarms = view.alarmList();
    QCOMPARE(alarms->count(), 2);
    QVERIFY2(alarms->item(0)->text().startsWith(
                 QStringLiteral("2024-05-01 10:00:20  报警：高于上限 2 V  直流电压  3")),
             qPrintable(alarms->item(0)->text()));
    QVERIFY2(alarms->item(1)->text().contains(QStringLiteral("解除：上限 2 V")),
             qPrintable(alarms->item(1)->text()));
}

void TestHistoryWindow::cancelKeepsWhatWasRead()
{
    HisViewForm view;
    view.show();
    view.loadRange(m_db->settings(), at("2024-06-01 00:00:00"), at("2024-06-02 00:00:00"));
    QVERIFY(view.isLoading() && view.progressDialog());
    view.progressDialog()->findChild<QPushButton *>()->click();

    // The rows read so far stay, and the window says they are not all.
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
    QVERIFY(view.isVisible());
    QVERIFY(view.isPartial());
    QCOMPARE(view.windowTitle(), QStringLiteral("历史记录查看（部分）"));
    QVERIFY(view.historyModel()->rowCount() < 300000);
    QTRY_VERIFY_WITH_TIMEOUT(view.findChildren<HistoryLoader *>().isEmpty(), 30000);
}

// A load that fails says why and leaves no empty window that would pass for
// a range without readings.
void TestHistoryWindow::failedLoadSaysWhy()
{
    DbSettings nowhere = m_db->settings();
    nowhere.port = 1;
    auto *view = new HisViewForm;
    view->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<HisViewForm> guard(view);
    ModalDriver driver;
    driver.answerBox(QStringLiteral("OK"));
    view->show();
    view->loadRange(nowhere, at("2024-05-01 10:00:00"), at("2024-05-01 10:00:20"));
    QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.boxes.size(), 1);
    QVERIFY(driver.boxes.first().text.startsWith(QStringLiteral("历史记录读取失败！\n")));
    QVERIFY(driver.boxes.first().text.size() > 12); // the server's reason follows
}

// Pressed while the rows load, the export writes the whole range once read.
void TestHistoryWindow::exportWaitsForTheLoad()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("range.txt");
    HisViewForm view;
    view.show();
    ModalDriver driver;
    driver.chooseFile(path);
    driver.answerBox(QStringLiteral("Apply"));
    view.loadRange(m_db->settings(), at("2024-06-01 00:00:00"), at("2024-06-01 00:10:00"));
    QVERIFY(view.isLoading());
    view.doBtnTxtSlot();
    QTRY_VERIFY_WITH_TIMEOUT(driver.done(), 60000);
    QCOMPARE(driver.unexpected, 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // Seconds 0 to 600, 17 rows each, under the header line.
    QCOMPARE(file.readAll().count('\n'), 601 * 17 + 1);
}

// The range bar shows the range read and reads another without the dialog.
void TestHistoryWindow::rangeBarReloads()
{
    HisViewForm view;
    view.show();
    view.loadRange(m_db->settings(), at("2024-05-01 10:00:00"), at("2024-05-01 10:00:20"));
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
    auto *start = view.findChild<QDateTimeEdit *>("rangeStartEdit");
    auto *stop = view.findChild<QDateTimeEdit *>("rangeStopEdit");
    QCOMPARE(start->dateTime(), at("2024-05-01 10:00:00"));
    QCOMPARE(stop->dateTime(), at("2024-05-01 10:00:20"));
    QCOMPARE(view.historyModel()->rowCount(), 3);

    start->setDateTime(at("2024-05-03 23:00:00"));
    stop->setDateTime(at("2024-05-04 01:00:00"));
    view.findChild<QPushButton *>("reloadPushButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
    QCOMPARE(view.historyModel()->rowCount(), 2);

    // A quick choice fills the bar and reads its range (nothing recorded yesterday here).
    view.findChild<QPushButton *>("yesterdayPushButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
    QCOMPARE(start->dateTime(), QDateTime(QDate::currentDate().addDays(-1), QTime(0, 0)));
    QCOMPARE(view.historyModel()->rowCount(), 0);
}

// The meters of the range are offered once it is read; choosing one reads
// the range again with its readings only, and "all" brings the rest back.
void TestHistoryWindow::oneMeterOrAll()
{
    QVERIFY2(m_db->exec("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) VALUES "
                        "('直流电压', '1', 'V', '2', '2024-05-07 10:00:00', 'meter-a'), "
                        "('直流电压', '2', 'V', '2', '2024-05-07 10:00:01', 'meter-b'), "
                        "('直流电压', '3', 'V', '2', '2024-05-07 10:00:02', NULL), "
                        "('直流电压', '4', 'V', '2', '2024-05-07 10:00:03', 'meter-a')"),
             qPrintable(m_db->error()));
    HisViewForm view;
    view.show();
    auto *box = view.findChild<QComboBox *>("sourceComboBox");
    QVERIFY(box);
    view.loadRange(m_db->settings(), at("2024-05-07 10:00:00"), at("2024-05-07 10:00:03"));
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
    const auto values = [&] {
        QStringList shown;
        for (int row = 0; row < view.historyModel()->rowCount(); ++row)
            shown << view.historyModel()->rows()->valueText(row);
        return shown;
    };
    QCOMPARE(values(), (QStringList{"1", "2", "3", "4"}));
    QCOMPARE(box->count(), 3);
    QVERIFY(box->isEnabled());

    box->setCurrentIndex(box->findText("meter-a"));
    emit box->activated(box->currentIndex());
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
    QCOMPARE(values(), (QStringList{"1", "4"}));
    QCOMPARE(box->currentText(), QStringLiteral("meter-a"));
    QCOMPARE(box->count(), 3);

    box->setCurrentIndex(0);
    emit box->activated(0);
    QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
    QCOMPARE(values().size(), 4);
}

QTEST_MAIN(TestHistoryWindow)
#include "tst_historywindow.moc"
