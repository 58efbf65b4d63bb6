// History against a real PostgreSQL server: the loader, the range dialog
// and the main window's range check, the history window, and the export
// tool's figures against the server's own aggregates.
#include "scratchdatabase.h"

#include "core/store/recordschema.h"

#include "widgets/history/hissettingform.h"
#include "core/store/historyloader.h"
#include "models/historytablemodel.h"
#include "widgets/history/hisviewform.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "widgets/panel/statsbox.h"
#include "modaldriver.h"
#include "widgets/resources/resources.h"
#include "core/store/alarmschema.h"
#include "core/store/database.h"
#include "toolrun.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>

#include <cmath>

namespace {

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

const QDateTime kStatsStart = at("2024-04-01 10:00:00");

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
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
        // Inserted out of order, and with rows just outside the range.
        QVERIFY(m_db->insert(at("2024-05-05 10:00:20"), "3.000", "V", "直流电压", "14"));
        QVERIFY(m_db->insert(at("2024-05-05 10:00:00"), "1.000", "V", "直流电压", "14"));
        QVERIFY(m_db->insert(at("2024-05-05 09:59:59"), "9.000", "V", "直流电压", "14"));
        QVERIFY(m_db->insert(at("2024-05-05 10:00:05"), "-2.500", "V", "直流电压", "14"));
        QVERIFY(m_db->insert(at("2024-05-05 10:00:21"), "9.000", "V", "直流电压", "14"));
        // Two rows in one second keep the order they were recorded in.
        QVERIFY(m_db->insert(at("2024-05-05 11:00:00"), "+ OL. ", "V", "直流电压", "3"));
        QVERIFY(m_db->insert(at("2024-05-05 11:00:00"), "- OL. ", "V", "直流电压", "3"));
        QVERIFY(m_db->insert(at("2024-05-05 11:00:01"), "12.5", "mV", "交流电压", "3"));
        // Readings of one second keep their milliseconds (stored out of order;
        // the server prints ".25" for .250 and no fraction for .000).
        QVERIFY2(m_db->exec(RecordSchema::insertInto() +
                            QStringLiteral("VALUES ('直流电压', '3', 'V', '2', '2024-05-05 12:00:00.750'), "
                                           "('直流电压', '2', 'V', '2', '2024-05-05 12:00:00.250'), "
                                           "('直流电压', '1', 'V', '2', '2024-05-05 12:00:00')")),
                 qPrintable(m_db->error()));

        // A large block of 300,000 rows, 17 a second.
        QVERIFY2(
            m_db->exec(RecordSchema::insertInto() +
                       QStringLiteral("SELECT '直流电压', to_char(i % 8000 / 1000.0, 'FM0.000'), 'V', '2', "
                                      "timestamp '2024-06-01 00:00:00' + (i / 17) * interval '1 second' "
                                      "FROM generate_series(0, 299999) i")),
            qPrintable(m_db->error()));

        // A long run of a reference read with a large offset and a tiny spread,
        // three readings a second, with overloads, a text that is no number and
        // readings of another quantity in between, all of which the figures must
        // leave out; and a single reading an hour later.
        QVERIFY2(m_db->exec(QStringLiteral(
                     "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                     "SELECT CASE k WHEN 'r' THEN '电阻' ELSE '直流电压' END, "
                     "CASE k WHEN 'o' THEN (CASE i % 2 WHEN 1 THEN '+ OL ' ELSE '- O.L ' END) "
                     "WHEN 'r' THEN '12.5' WHEN 'x' THEN '----' "
                     "ELSE to_char(98765.4321 + (i * 7919 % 2001 - 1000) * 0.0001, 'FM99999.0000') END, "
                     " CASE k WHEN 'r' THEN 'kΩ' ELSE 'V' END, '2', "
                     "timestamp '2024-04-01 10:00:00' + i / 3 * interval '1 second' "
                     "FROM (SELECT i, CASE WHEN i % 97 = 5 THEN 'o' WHEN i % 211 = 7 THEN 'r' "
                     "WHEN i = 1000 THEN 'x' ELSE 'n' END AS k FROM generate_series(0, 2999) i) s")),
                 qPrintable(m_db->error()));
        QVERIFY(m_db->insert(kStatsStart.addSecs(3600), "-0.25"));
    }

    void cleanup()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            w->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // A test with a database of its own leaves the programs pointed at it.
        m_db->select();
    }

    void ranges_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QVector<double>>("x");
        QTest::addColumn<QVector<double>>("y");

        QTest::newRow("bounds inclusive")
            << at("2024-05-05 09:59:59") << at("2024-05-05 10:00:21")
            << QStringList{"9.000", "1.000", "-2.500", "3.000", "9.000"} << QVector<double>{0, 1, 6, 21, 22}
            << QVector<double>{9, 1, -2.5, 3, 9};
        // Listed as stored, plotted at the ends of their range; one second keeps
        // the order of recording.
        QTest::newRow("overloads") << at("2024-05-05 11:00:00") << at("2024-05-05 11:00:01")
                                   << QStringList{"+ OL. ", "- OL. ", "12.5"} << QVector<double>{0, 0, 1}
                                   << QVector<double>{800, -800, 12.5};
        QTest::newRow("milliseconds")
            << at("2024-05-05 12:00:00") << at("2024-05-05 12:00:00") << QStringList{"1", "2", "3"}
            << QVector<double>{0, 0.25, 0.75} << QVector<double>{1, 2, 3};
    }

    void ranges()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(QStringList, values);
        QFETCH(QVector<double>, x);
        QFETCH(QVector<double>, y);
        const HistoryLoadResult r = loadHistoryRange(m_db->settings(), from, to);
        QCOMPARE(r.status, HistoryLoadResult::Loaded);
        const HistoryData &rows = *r.rows;
        QStringList loaded;
        for (int i = 0; i < rows.rowCount(); ++i)
            loaded << rows.valueText(i);
        QCOMPARE(loaded, values);
        QCOMPARE(rows.xPoints(), x);
        QCOMPARE(rows.yPoints(), y);
        QCOMPARE(rows.baseTime(), from);
    }

    // Texts no meter writes, but a shared database may hold: quotes, commas,
    // backslashes, parentheses, blanks, tabs and line feeds (which the server
    // escapes in the rows it streams), empty texts, NULLs and a unit separator.
    void awkwardTextsComeBackUnchanged()
    {
        const QString separated = QStringLiteral("x") + QChar(0x1f) + QStringLiteral("y");
        // Row 2 is all NULLs.
        const QList<QStringList> rows{{"a\"b,c\\d(e) ", "\"\"", "(x),\\"},
                                      {"", "", ""},
                                      {"", "", ""},
                                      {"1.5", "V", "直流 电压"},
                                      {"2", separated, "f\tg\nh"}};
        const QDateTime t = at("2024-07-01 12:00:00");
        for (int i = 0; i < rows.size(); ++i) {
            QVERIFY(i == 2 ? m_db->exec(QStringLiteral(
                                 "INSERT INTO invoice (create_time) VALUES ('2024-07-01 12:00:02')"))
                           : m_db->insert(t.addSecs(i), rows[i][0], rows[i][1], rows[i][2], "7"));
        }
        for (int last : {3, 4}) {
            const HistoryLoadResult r = loadHistoryRange(m_db->settings(), t, t.addSecs(last));
            QCOMPARE(r.status, HistoryLoadResult::Loaded);
            QCOMPARE(r.rows->rowCount(), last + 1);
            for (int i = 0; i <= last; ++i)
                QCOMPARE((QStringList{r.rows->valueText(i), r.rows->unitText(i), r.rows->funcText(i)}),
                         rows[i]);
            QCOMPARE(r.rows->firstRangeIndex(), 7);
        }
    }

    // 300,000 rows through the loader thread, with progress.
    void largeRange()
    {
        database store(m_db->settings(), QString());
        QCOMPARE(store.openForReading(), 1);
        HistoryLoader loader(&store, at("2024-06-01 00:00:00"), at("2024-06-02 00:00:00"));
        QSignalSpy finished(&loader, &HistoryLoader::finished);
        QSignalSpy progress(&loader, &HistoryLoader::progress);
        loader.start();
        QVERIFY(finished.wait(60000));
        QCOMPARE(loader.result().status, HistoryLoadResult::Loaded);
        const HistoryData &rows = *loader.result().rows;
        QCOMPARE(rows.rowCount(), 300000);
        // Row 299999: second 17647 (04:54:07), value 299999 % 8000 / 1000.
        QCOMPARE(rows.timeText(299999), QStringLiteral("2024-06-01 04:54:07"));
        QCOMPARE(rows.valueText(299999), QStringLiteral("3.999"));
        QCOMPARE(rows.xPoints().last(), 17647.0);
        QVERIFY(progress.count() > 10 && progress.last().at(1).toInt() <= 1000);
        const double perRow = double(rows.storageBytes()) / rows.rowCount();
        QVERIFY2(perRow < 48, qPrintable(QString::number(perRow)));
    }

    void rangeCheck_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("warns");
        QTest::addColumn<bool>("opens");
        QTest::newRow("same second") << 0 << "pushButton" << true << false;
        QTest::newRow("one second") << 1 << "pushButton" << false << true;
        QTest::newRow("cancelled") << 1 << "pushButton_2" << false << false;
    }

    void rangeCheck()
    {
        QFETCH(int, seconds);
        QFETCH(QString, button);
        QFETCH(bool, warns);
        QFETCH(bool, opens);

        TK52K_Comm window;
        window.doMenuHis();
        const QList<HisSettingForm *> forms = visibleWindows<HisSettingForm>();
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
        QVERIFY(!form || !form->isVisible());
        QCOMPARE(driver.boxes.size(), warns ? 1 : 0);
        if (warns) {
            QCOMPARE(driver.boxes.first().text, QStringLiteral("停止时间要大于起始时间！"));
            QVERIFY(formClosedFirst);
        }
        const QList<HisViewForm *> views = visibleWindows<HisViewForm>();
        QCOMPARE(views.size(), opens ? 1 : 0);
        if (!opens)
            return;
        QTRY_VERIFY_WITH_TIMEOUT(!views.first()->isLoading(), 30000);
        const HistoryTableModel *model = views.first()->historyModel();
        QCOMPARE(model->rowCount(), 1);
        QStringList cells;
        for (int c = 0; c < model->columnCount(); ++c)
            cells << model->data(model->index(0, c)).toString();
        QCOMPARE(cells, (QStringList{"2024-05-01 10:00:00", "1.000", "V", "直流电压"}));
    }

    // Each query opens a window of its own; closing the main window ends the
    // program, whatever history is open.
    void twoQueriesTwoWindows()
    {
        TK52K_Comm window;
        window.doHisSettingBtnEnter(at("2024-05-01 10:00:00"), at("2024-05-01 10:00:20"));
        window.doHisSettingBtnEnter(at("2024-05-01 10:00:00"), at("2024-05-01 10:00:05"));
        const QList<HisViewForm *> views = visibleWindows<HisViewForm>();
        QCOMPARE(views.size(), 2);
        for (HisViewForm *v : views) {
            QTRY_VERIFY_WITH_TIMEOUT(!v->isLoading(), 30000);
            QVERIFY(!v->testAttribute(Qt::WA_QuitOnClose));
        }
        QList<int> counts{views[0]->historyModel()->rowCount(), views[1]->historyModel()->rowCount()};
        std::sort(counts.begin(), counts.end());
        QCOMPARE(counts, (QList<int>{2, 3}));
    }

    void windowShowsRowsAndCurve_data()
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
        QTest::newRow("range of row 0")
            << at("2024-05-01 10:00:00") << QStringList{"1.000", "+ O.L ", "3.000"}
            << QVector<QPointF>{{0, 1}, {20, 3}} << -12.0 << 12.0 << "10:00:00";
        QTest::newRow("row 0 of an unknown range")
            << at("2024-05-02 08:00:00") << QStringList{"100", "5000"}
            << QVector<QPointF>{{0, 100}, {1, 5000}} << autoScale << autoScale << "08:00:00";
        // Rows on two days: the axis shows the date too.
        QTest::newRow("across midnight")
            << at("2024-05-03 23:59:50") << QStringList{"1.000", "2.000"} << QVector<QPointF>{{0, 1}, {15, 2}}
            << -80.0 << 80.0 << "2024-05-03\n23:59:50";
        QTest::newRow("empty") << at("2020-01-01 00:00:00") << QStringList() << QVector<QPointF>() << -800.0
                               << 800.0 << QString();
    }

    void windowShowsRowsAndCurve()
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
    void statisticsAlarmsAndQuantityChoice()
    {
        {
            QSqlDatabase db = m_db->connection();
            QString error;
            QVERIFY2(AlarmSchema::ensureTable(db, &error), qPrintable(error));
        }
        QVERIFY2(m_db->exec(QStringLiteral(
                     "INSERT INTO alarm_event "
                     "(event_time, funcstr, unitstr, limit_kind, limit_value, value, raised) "
                     "VALUES ('2024-05-01 10:00:20.250', '直流电压', 'V', 'high', 2, 3, true), "
                     "       ('2024-05-01 09:59:59', '直流电压', 'V', 'high', 2, 1, false), "
                     "       ('2024-05-01 10:00:20.500', '直流电压', 'V', 'high', 2, 1.5, false)")),
                 qPrintable(m_db->error()));
        HisViewForm view;
        view.show();
        // Events within the stop's second belong to the range, as its readings do.
        view.loadRange(m_db->settings(), at("2024-05-01 10:00:00"), at("2024-05-01 10:00:20"));
        QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);

        QComboBox *selector = view.quantitySelector();
        QCOMPARE(selector->count(), 2);
        const StatsBox *stats = view.statsBox();
        QCOMPARE(stats->figureText(QStringLiteral("count")), QStringLiteral("2"));
        QCOMPARE(stats->figureText(QStringLiteral("mean")), QStringLiteral("2.00000 V"));
        QCOMPARE(stats->figureText(QStringLiteral("max")), QStringLiteral("3.000 V (10:00:20)"));

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

    void cancelKeepsWhatWasRead()
    {
        HisViewForm view;
        view.show();
        view.loadRange(m_db->settings(), at("2024-06-01 00:00:00"), at("2024-06-02 00:00:00"));
        QVERIFY(view.isLoading() && view.progressDialog());
        view.progressDialog()->findChild<QPushButton *>()->click();

        // The rows read so far stay, and the window says they are not all.
        QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
        QVERIFY(view.isVisible());
        QCOMPARE(view.windowTitle(), QStringLiteral("历史记录查看（部分）"));
        QVERIFY(view.historyModel()->rowCount() < 300000);
        QTRY_VERIFY_WITH_TIMEOUT(view.findChildren<HistoryLoader *>().isEmpty(), 30000);
    }

    // A load that fails says why and leaves no empty window that would pass for
    // a range without readings. Settings it cannot use fail it, rather than
    // reading the default database (on the default port here).
    void failedLoadSaysWhy()
    {
        qputenv("TK52K_DB_PORT", "abc");
        const DbSettings nowhere = DbSettings::fromEnvironment();
        qunsetenv("TK52K_DB_PORT");
        auto *view = new HisViewForm;
        view->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<HisViewForm> guard(view);
        ModalDriver driver;
        driver.answerBox(QStringLiteral("OK"));
        view->show();
        view->loadRange(nowhere, at("2024-05-01 10:00:00"), at("2024-05-01 10:00:20"));
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
        QCOMPARE(driver.boxes.size(), 1);
        const QString text = driver.boxes.first().text;
        QVERIFY2(text.startsWith(QStringLiteral("历史记录读取失败！\n")) &&
                     text.contains("TK52K_DB_PORT \"abc\""),
                 qPrintable(text));
    }

    // Pressed while the rows load, the export writes the whole range once read.
    void exportWaitsForTheLoad()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("range.txt");
        HisViewForm view;
        view.show();
        ModalDriver driver;
        // The file dialog stays open past the time the load's progress box
        // would have come up: it must not come up over the dialog.
        QElapsedTimer clock;
        driver.add([&clock](QWidget *w) {
            if (!qobject_cast<QFileDialog *>(w))
                return ModalDriver::Handled::NotMine;
            return clock.elapsed() < 1000 ? ModalDriver::Handled::Retry : ModalDriver::Handled::Done;
        });
        driver.chooseFile(path);
        driver.answerBox(QStringLiteral("Apply"));
        clock.start();
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
    // The meters of the range are offered once it is read; choosing one reads
    // the range again with its readings only, and "all" brings the rest back.
    void rangeBarAndMeterChoiceReload()
    {
        QVERIFY2(
            m_db->exec(
                "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) VALUES "
                "('直流电压', '1', 'V', '2', '2024-05-07 10:00:00', 'meter-a'), "
                "('直流电压', '2', 'V', '2', '2024-05-07 10:00:01', 'meter-b'), "
                "('直流电压', '3', 'V', '2', '2024-05-07 10:00:02', NULL), "
                "('直流电压', '4', 'V', '2', '2024-05-07 10:00:03', 'meter-a')"),
            qPrintable(m_db->error()));
        HisViewForm view;
        view.show();
        auto *box = view.findChild<QComboBox *>("sourceComboBox");
        auto *start = view.findChild<QDateTimeEdit *>("rangeStartEdit");
        auto *stop = view.findChild<QDateTimeEdit *>("rangeStopEdit");
        view.loadRange(m_db->settings(), at("2024-05-07 10:00:00"), at("2024-05-07 10:00:03"));
        QTRY_VERIFY_WITH_TIMEOUT(!view.isLoading(), 30000);
        QCOMPARE(start->dateTime(), at("2024-05-07 10:00:00"));
        QCOMPARE(stop->dateTime(), at("2024-05-07 10:00:03"));
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

    // `tk52k-export --format stats` against the server's own aggregates over the
    // same rows.
    void exportFiguresAgreeWithServer_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addRow("long run") << 0 << 999;
        QTest::addRow("one reading") << 3600 << 3600;
        QTest::addRow("no rows") << 2000 << 2100;
    }

    void exportFiguresAgreeWithServer()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        const QString fromText = kStatsStart.addSecs(from).toString("yyyy-MM-dd hh:mm:ss");
        const QString toText = kStatsStart.addSecs(to).toString("yyyy-MM-dd hh:mm:ss");
        const ToolRun run = runTool(QStringLiteral("tk52k-export"),
                                    {"--from", fromText, "--to", toText, "--format", "stats"});
        QVERIFY2(run.status == 0, run.err.constData());
        const QJsonObject stats = QJsonDocument::fromJson(run.out).object();

        QSqlQuery q(m_db->connection());
        QVERIFY(q.prepare(R"(
            WITH r AS (SELECT * FROM invoice WHERE create_time BETWEEN ?::timestamp AND ?::timestamp
                       AND funcstr = '直流电压' AND unitstr = 'V'),
                 v AS (SELECT datavaluestr::float8 AS x, create_time FROM r
                       WHERE datavaluestr ~ '^\s*[-+]?[0-9]+(\.[0-9]*)?\s*$')
            SELECT count(*), avg(x), stddev_samp(x), min(x), max(x),
                   (SELECT min(create_time) FROM v WHERE x = (SELECT min(x) FROM v))::text,
                   (SELECT min(create_time) FROM v WHERE x = (SELECT max(x) FROM v))::text,
                   (SELECT count(*) FROM r WHERE datavaluestr ~ 'O')
            FROM v)"));
        q.addBindValue(fromText);
        q.addBindValue(toText);
        QVERIFY2(q.exec() && q.next(), qPrintable(q.lastError().text()));

        QCOMPARE(stats.value("count").toInt(), q.value(0).toInt());
        QCOMPARE(stats.value("overloads").toInt(), q.value(7).toInt());
        const char *figures[] = {"mean", "stddev", "min", "max"};
        for (int i = 0; i < 4; ++i) {
            const QJsonValue ours = stats.value(figures[i]);
            if (q.value(i + 1).isNull()) {
                QVERIFY2(ours.isNull(), figures[i]);
                continue;
            }
            const double theirs = q.value(i + 1).toDouble();
            QVERIFY2(std::abs(ours.toDouble() - theirs) <= 1e-9 * std::abs(theirs), figures[i]);
        }
        const auto time = [](const QVariant &v) { return v.isNull() ? QString() : v.toString() + ".000"; };
        QCOMPARE(stats.value("min_time").toString(), time(q.value(5)));
        QCOMPARE(stats.value("max_time").toString(), time(q.value(6)));
        if (q.value(0).toInt() > 0) {
            QCOMPARE(stats.value("unit").toString(), QStringLiteral("V"));
            QCOMPARE(stats.value("function").toString(), QStringLiteral("直流电压"));
        }
    }

    // A table whose `frastr` is an integer column, then the same table held
    // locked by another session for longer than the load waits.
    void integerRangeColumnAndLockedTable()
    {
        ScratchDatabase db(QStringLiteral("historyint"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QVERIFY2(db.exec(QStringLiteral(
                     "CREATE TABLE invoice (id serial PRIMARY KEY, funcstr text, datavaluestr text, "
                     "unitstr text, frastr integer, create_time timestamp)")),
                 qPrintable(db.error()));
        QVERIFY2(db.exec(QStringLiteral(
                     "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                     "VALUES ('电阻', '1.5', 'kΩ', 22, '2024-05-01 10:00:00'), "
                     "('电阻', '+ OL ', 'kΩ', 22, '2024-05-01 10:00:01')")),
                 qPrintable(db.error()));
        const QDateTime from = at("2024-05-01 10:00:00");
        HistoryLoadResult r = loadHistoryRange(db.settings(), from, from.addSecs(1));
        QVERIFY2(r.status == HistoryLoadResult::Loaded, qPrintable(r.error));
        QCOMPARE(r.rows->rowCount(), 2);
        QCOMPARE(r.rows->firstRangeIndex(), 22);
        QCOMPARE(r.rows->yPoints(), (QVector<double>{1.5, 8000}));

        QSqlDatabase holder = db.connection();
        QVERIFY(holder.transaction());
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("LOCK TABLE invoice IN ACCESS EXCLUSIVE MODE")));
        HistoryLoadControl control;
        control.timeoutMs = 500;
        r = loadHistoryRange(db.settings(), from, from.addSecs(1), control);
        holder.rollback();
        QCOMPARE(r.status, HistoryLoadResult::Failed);
        QVERIFY2(r.error.startsWith(QStringLiteral("读取超时")), qPrintable(r.error));
    }

private:
    QTemporaryDir m_spool;
    std::unique_ptr<ScratchDatabase> m_db;
};

QTEST_MAIN(TestHistory)
#include "tst_history.moc"
