// History against a real PostgreSQL server: the range reads of the store,
// the range dialog and the main window's range check, the history window
// (table pages, a curve that paints what every reading paints, zoom,
// follow), and the export tool's figures against the server's own
// aggregates.
#include "modaldriver.h"
#include "scratchdatabase.h"
#include "toolrun.h"

#include "core/history/curvevalue.h"
#include "core/meter/meterreading.h"
#include "core/store/alarmschema.h"
#include "core/store/database.h"
#include "core/store/historyreads.h"
#include "core/store/recordschema.h"
#include "models/historytablemodel.h"
#include "widgets/history/hissettingform.h"
#include "widgets/history/hisviewform.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "widgets/panel/statsbox.h"
#include "widgets/plot/historycurve.h"
#include "widgets/plot/plotviewbar.h"
#include "widgets/resources/resources.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <qwt_plot_canvas.h>
#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>

#include <cmath>
#include <time.h>

namespace {

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

const QDateTime kStatsStart = at("2024-04-01 10:00:00");

// The rows of a range as the window reads them: through a store, a page.
struct Stored
{
    QString error;
    qint64 count = 0;
    QVector<RangeQueries::Row> rows;
};

Stored readRange(const DbSettings &settings, const QDateTime &from, const QDateTime &to, qint64 first = 0,
                 int count = -1, int timeoutMs = HistoryReads::kTimeoutMs)
{
    Stored out;
    database store(settings, QString());
    if (store.openForReading() != 1)
        return {settings.problem, 0, {}};
    auto overview = std::make_shared<HistoryReads::OverviewRead>(from, to, QString());
    overview->timeoutMs = timeoutMs;
    store.readNow(overview);
    if (overview->failed())
        return {overview->error(), 0, {}};
    out.count = overview->rows;
    auto page = std::make_shared<HistoryReads::PageRead>(HistoryReads::rangeOf(from, to), QString(), first,
                                                         count < 0 ? int(out.count) : count);
    page->table = overview->table;
    store.readNow(page);
    out.error = page->error();
    out.rows = page->rows;
    return out;
}

QStringList values(const Stored &s)
{
    QStringList v;
    for (const RangeQueries::Row &r : s.rows)
        v << r.value;
    return v;
}

// A window's table row once its page has come.
QStringList cells(const QAbstractItemModel *model, int row)
{
    QStringList texts;
    // An empty row after the wait is what the caller compares and reports.
    (void)QTest::qWaitFor([&] { return !model->data(model->index(row, 0)).toString().isEmpty(); }, 20000);
    for (int c = 0; c < model->columnCount(); ++c)
        texts << model->data(model->index(row, c)).toString();
    return texts;
}

// A store that counts the curve reads a window asks of it.
class CountingStore : public database
{
public:
    using database::database;
    int curveReads = 0;
    void read(const std::shared_ptr<StoreRead> &read) override
    {
        curveReads += bool(std::dynamic_pointer_cast<HistoryReads::CurveRead>(read));
        database::read(read);
    }
};

bool settled(const HisViewForm &view)
{
    return QTest::qWaitFor([&] { return !view.isLoading() && !view.isCurveLoading(); }, 30000);
}

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
        // Readings of one second keep their milliseconds (stored out of order).
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

    // Bounds inclusive to the end of the stop's second; rows of one second in
    // the order they were recorded; milliseconds kept; deep rows of a long
    // range found through the counts; awkward texts come back as stored.
    void rangesAndPages()
    {
        QCOMPARE(values(readRange(m_db->settings(), at("2024-05-05 09:59:59"), at("2024-05-05 10:00:21"))),
                 (QStringList{"9.000", "1.000", "-2.500", "3.000", "9.000"}));
        QCOMPARE(values(readRange(m_db->settings(), at("2024-05-05 11:00:00"), at("2024-05-05 11:00:01"))),
                 (QStringList{"+ OL. ", "- OL. ", "12.5"}));
        const Stored ms = readRange(m_db->settings(), at("2024-05-05 12:00:00"), at("2024-05-05 12:00:00"));
        QCOMPARE(values(ms), (QStringList{"1", "2", "3"}));
        QCOMPARE(ms.rows.at(2).ms - ms.rows.at(0).ms, 750);

        // Row 299999 of 300,000: second 17647 (04:54:07), value 299999 % 8000 / 1000.
        const Stored deep = readRange(m_db->settings(), at("2024-06-01 00:00:00"), at("2024-06-02 00:00:00"), 299998, 2);
        QCOMPARE(deep.count, 300000);
        QCOMPARE(values(deep), (QStringList{"3.998", "3.999"}));
        QCOMPARE(HistoryReads::timeOfNaiveMs(deep.rows.last().ms), at("2024-06-01 04:54:07"));

        const QString separated = QStringLiteral("x") + QChar(0x1f) + QStringLiteral("y");
        const QList<QStringList> awkward{{"a\"b,c\\d(e) ", "\"\"", "(x),\\"},
                                         {"", "", ""},
                                         {"1.5", "V", "直流 电压"},
                                         {"2", separated, "f\tg\nh"}};
        const QDateTime t = at("2024-07-01 12:00:00");
        for (int i = 0; i < awkward.size(); ++i)
            QVERIFY(m_db->insert(t.addSecs(i), awkward[i][0], awkward[i][1], awkward[i][2], "7"));
        const Stored back = readRange(m_db->settings(), t, t.addSecs(3));
        QCOMPARE(back.rows.size(), awkward.size());
        for (int i = 0; i < awkward.size(); ++i)
            QCOMPARE((QStringList{back.rows[i].value, back.rows[i].unit, back.rows[i].function}), awkward[i]);
        QCOMPARE(back.rows.first().frastr, QStringLiteral("7"));
    }

    // In Berlin the range dialog takes a stored wall-clock time of the hour
    // the clocks skip, as typed, for a range end.
    void rangeDialogTakesASkippedHour()
    {
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        ::tzset();
        const auto back = qScopeGuard([zone] {
            zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
            ::tzset();
        });
        HisSettingForm form;
        form.show();
        QSignalSpy chosen(&form, SIGNAL(signalsBtnEnter(QDateTime, QDateTime)));
        for (const char *name : {"startDateTimeEdit", "StopDateTimeEdit"}) {
            auto *edit = form.findChild<QDateTimeEdit *>(name);
            edit->setFocus();
            edit->findChild<QLineEdit *>()->selectAll();
            QTest::keyClicks(edit, name[0] == 's' ? "2024-03-31 02:30:00" : "2024-03-31 02:45:00");
        }
        ModalDriver driver; // a refusal would be a box
        form.findChild<QPushButton *>("pushButton")->click();
        QCOMPARE(driver.unexpected, 0);
        QCOMPARE(chosen.size(), 1);
        for (int end = 0; end < 2; ++end) {
            const qint64 ms = HistoryReads::naiveMs(chosen.first().at(end).toDateTime());
            QCOMPARE(HistoryReads::timeOfNaiveMs(ms).toString("yyyy-MM-dd HH:mm:ss"),
                     QString(end == 0 ? "2024-03-31 02:30:00" : "2024-03-31 02:45:00"));
        }
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
        QVERIFY(settled(*views.first()));
        const HistoryTableModel *model = views.first()->historyModel();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(cells(model, 0), (QStringList{"2024-05-01 10:00:00", "1.000", "V", "直流电压"}));
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
            QVERIFY(settled(*v));
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
        QVERIFY(settled(view));

        const HistoryTableModel *model = view.historyModel();
        QCOMPARE(model->rowCount(), values.size());
        for (int r = 0; r < values.size(); ++r)
            QCOMPARE(cells(model, r).at(1), values[r]);
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
        QVERIFY(settled(view));

        QComboBox *selector = view.quantitySelector();
        QCOMPARE(selector->count(), 2);
        const StatsBox *stats = view.statsBox();
        QTRY_COMPARE(stats->figureText(QStringLiteral("count")), QStringLiteral("2"));
        QCOMPARE(stats->figureText(QStringLiteral("mean")), QStringLiteral("2.00000 V"));
        QCOMPARE(stats->figureText(QStringLiteral("max")), QStringLiteral("3.000 V (10:00:20)"));

        selector->setCurrentIndex(1);
        QVERIFY(settled(view));
        QCOMPARE(int(view.curve()->dataSize()), 1);
        QCOMPARE(view.curve()->sample(0), QPointF(5, 12));
        QTRY_COMPARE(stats->figureText(QStringLiteral("overloads")), QStringLiteral("1"));
        QCOMPARE(stats->figureText(QStringLiteral("count")), QStringLiteral("0"));
        QCOMPARE(view.historyModel()->rowCount(), 3);

        const QListWidget *alarms = view.alarmList();
        QCOMPARE(alarms->count(), 2);
        QVERIFY2(alarms->item(0)->text().startsWith(
                     QStringLiteral("2024-05-01 10:00:20  报警：高于上限 2 V  直流电压  3")),
                 qPrintable(alarms->item(0)->text()));
        QVERIFY2(alarms->item(1)->text().contains(QStringLiteral("解除：上限 2 V")),
                 qPrintable(alarms->item(1)->text()));
    }

    // Of all meters, each meter's figures on a line of their own in the
    // resolution of its readings (a meter in mV keeps its digits in V, one
    // autoranging keeps each extreme's), and a line over them all that says
    // so; one meter chosen, its figures alone.
    void statisticsPerMeter()
    {
        QVERIFY2(
            m_db->exec(
                "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) VALUES "
                "('DCV', '1.000', 'V', '1', '2024-10-01 10:00:00', 'rail'), "
                "('DCV', '2.000', 'V', '1', '2024-10-01 10:00:01', 'rail'), "
                "('DCV', '177.25', 'mV', '0', '2024-10-01 10:00:00', 'shunt'), "
                "('DCV', '180.50', 'mV', '0', '2024-10-01 10:00:02', 'shunt'), "
                "('DCV', '-902.0', 'V', '3', '2024-10-01 10:00:01', 'mains'), "
                "('DCV', '-5.123', 'V', '1', '2024-10-01 10:00:03', 'mains')"),
            qPrintable(m_db->error()));
        HisViewForm view;
        view.show();
        view.loadRange(m_db->settings(), at("2024-10-01 10:00:00"), at("2024-10-01 10:00:03"));
        QVERIFY(settled(view));
        const StatsBox *stats = view.statsBox();
        QTRY_COMPARE(stats->lineCount(), 4);
        QCOMPARE(stats->lineLabel(0), QStringLiteral("mains"));
        QCOMPARE(stats->lineLabel(1), QStringLiteral("rail"));
        QCOMPARE(stats->lineLabel(2), QStringLiteral("shunt"));
        QCOMPARE(stats->lineLabel(3), QStringLiteral("3 台仪表合计"));
        const QStringList means{"-453.56150 V", "1.50000 V", "0.1788750 V", "-150.6275417 V"};
        const QStringList minima{"-902.0 V (10:00:01)", "1.000 V (10:00:00)", "0.17725 V (10:00:00)",
                                 "-902.0 V (10:00:01)"};
        const QStringList maxima{"-5.123 V (10:00:03)", "2.000 V (10:00:01)", "0.18050 V (10:00:02)",
                                 "2.000 V (10:00:01)"};
        for (int line = 0; line < 4; ++line) {
            QCOMPARE(stats->figureText(QStringLiteral("mean"), line), means[line]);
            QCOMPARE(stats->figureText(QStringLiteral("min"), line), minima[line]);
            QCOMPARE(stats->figureText(QStringLiteral("max"), line), maxima[line]);
        }
        QCOMPARE(stats->figureText(QStringLiteral("count"), 3), QStringLiteral("6"));

        auto *box = view.findChild<QComboBox *>("sourceComboBox");
        box->setCurrentIndex(box->findData(QStringLiteral("shunt")));
        emit box->activated(box->currentIndex());
        QVERIFY(settled(view));
        // Read in mV alone, shown in mV.
        QTRY_COMPARE(stats->figureText(QStringLiteral("mean")), QStringLiteral("178.8750 mV"));
        QCOMPARE(stats->lineCount(), 0);
        QCOMPARE(stats->figureText(QStringLiteral("count")), QStringLiteral("2"));
    }

    // One signal through an autorange, mV then V, is one quantity drawn in V;
    // an automatic scale follows the readings, not the overload among them.
    void oneQuantityAcrossRanges()
    {
        QVERIFY2(m_db->exec(RecordSchema::insertInto() +
                            QStringLiteral("VALUES ('DCV', '500.0', 'mV', '0', '2024-09-01 10:00:00'), "
                                           "('DCV', '0.900', 'V', '1', '2024-09-01 10:00:01'), "
                                           "('DCV', '+ .OL ', 'V', '1', '2024-09-01 10:00:02'), "
                                           "('DCV', '1.200', 'V', '1', '2024-09-01 10:00:03')")),
                 qPrintable(m_db->error()));
        HisViewForm view;
        view.show();
        view.loadRange(m_db->settings(), at("2024-09-01 10:00:00"), at("2024-09-01 10:00:03"));
        QVERIFY(settled(view));
        QCOMPARE(view.quantitySelector()->count(), 1);
        QCOMPARE(view.quantitySelector()->itemText(0), QStringLiteral("DCV (mV, V)"));
        QCOMPARE(int(view.curve()->dataSize()), 4);
        QCOMPARE(view.curve()->sample(0), QPointF(0, 0.5));
        QCOMPARE(view.curve()->sample(2).y(), 8.0);
        view.plotViewBar()->setAutoYScale(true);
        view.plot()->replot();
        const QwtScaleDiv y = view.plot()->axisScaleDiv(QwtPlot::yLeft);
        // Within a last bit: Qwt's scale arithmetic lands one off with Windows' math library.
        QVERIFY2(y.lowerBound() <= 0.5 + 1e-12 && y.upperBound() >= 1.2 - 1e-12 && y.upperBound() < 8, qPrintable(QString::number(y.upperBound())));
    }

    // Every meter's curve lies within the automatic y scale, a meter holding
    // one value among them (its curve is flat, its bounds no taller than a line).
    void everyMeterWithinTheAutomaticScale()
    {
        QVERIFY2(
            m_db->exec("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) "
                       "SELECT 'DCV', to_char(-127.2 - i * 20.0, 'FM9990.0'), 'mV', '0', "
                       "timestamp '2024-09-03 10:00:00' + i * interval '1 second', 'bench-a' "
                       "FROM generate_series(0, 30) i UNION ALL "
                       "SELECT 'DCV', '1.000', 'V', '1', "
                       "timestamp '2024-09-03 10:00:02' + i * interval '1 second', 'bench-b' "
                       "FROM generate_series(0, 20) i"),
            qPrintable(m_db->error()));
        HisViewForm view;
        view.show();
        view.loadRange(m_db->settings(), at("2024-09-03 10:00:00"), at("2024-09-03 10:00:30"));
        QVERIFY(settled(view));
        QCOMPARE(view.curves().size(), 2);
        view.plot()->replot();
        const QwtScaleDiv y = view.plot()->axisScaleDiv(QwtPlot::yLeft);
        for (const HistoryCurve *c : view.curves()) {
            QVERIFY(c->dataSize() > 0);
            for (size_t i = 0; i < c->dataSize(); ++i)
                QVERIFY2(y.contains(c->sample(i).y()), qPrintable(QStringLiteral("%1: %2 beyond %3 … %4")
                                                                      .arg(c->title().text())
                                                                      .arg(c->sample(i).y())
                                                                      .arg(y.lowerBound())
                                                                      .arg(y.upperBound())));
        }
        // Zoomed where only bench-a read, bench-b keeps its curve (colour,
        // legend) and its place in the scale.
        view.plot()->setAxisScale(QwtPlot::xBottom, 27, 30);
        view.plot()->replot();
        QVERIFY(settled(view));
        QCOMPARE(view.curves().size(), 2);
        QCOMPARE(view.curves().at(1)->title().text(), QStringLiteral("bench-b"));
        QVERIFY(view.curves().at(0)->dataSize() > 0);
        QVERIFY(view.plot()->axisScaleDiv(QwtPlot::yLeft).contains(1.0));
    }

    // The curve read as pixel columns paints exactly what a line through every
    // reading paints: over the whole range at several widths and zoomed in,
    // with overloads, rows of one millisecond, a pause in the readings and
    // the summaries the program keeps.
    void curveIsExactToThePixel()
    {
        ScratchDatabase db(QStringLiteral("historypixels"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        {
            // The table made by the program, summaries and all.
            database maker(db.settings(), m_spool.filePath("pixels"));
            QCOMPARE(maker.openDatabase(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(maker.isConnected(), 20000);
        }
        QVERIFY2(db.exec(QStringLiteral(
                     "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) "
                     "SELECT 'DCV', CASE WHEN i % 509 = 3 THEN '+ .OL ' ELSE "
                     "to_char(sin(i / 300.0) * 5 + (i * 7919 % 101) / 100.0, 'FM0.000') END, 'V', '1', "
                     "timestamp '2024-08-01 10:00:00' + (i / 17) * interval '1 second' "
                     "+ (i % 17) * 58 * interval '1 millisecond' "
                     "+ CASE WHEN i > 12000 THEN interval '40 seconds' ELSE interval '0' END, 'm1' "
                     "FROM generate_series(0, 29999) i")),
                 qPrintable(db.error()));
        const QDateTime from = at("2024-08-01 10:00:00"), to = at("2024-08-01 10:31:00");
        const Stored all = readRange(db.settings(), from, to);
        QCOMPARE(all.rows.size(), 30000);

        CountingStore store(db.settings(), QString());
        HisViewForm view;
        view.resize(1500, 650);
        view.show();
        view.loadRange(&store, from, to);
        QVERIFY(settled(view));
        QVERIFY2(view.noteLabel()->isHidden(), qPrintable(view.noteLabel()->text()));
        // The rows widen the table beside the plot: the curve is read once,
        // for the canvas as it is then laid out, not again after it.
        QCOMPARE(store.curveReads, 1);
        const auto compare = [&](const char *what) {
            QVERIFY(settled(view));
            const QImage columns = view.plot()->canvas()->grab().toImage();
            const int drawn = int(view.curve()->dataSize());
            QVector<QPointF> points;
            QVector<bool> starts;
            for (int i = 0; i < all.rows.size(); ++i) {
                const RangeQueries::Row &r = all.rows[i];
                points << QPointF(HistoryCurve::xOf(r.ms, view.originMs()), curveValueOf(r.value, r.frastr));
                starts << (i == 0 || r.ms - all.rows[i - 1].ms > view.curveGapMs());
            }
            view.curve()->setStretches(points, starts, QRectF(points.first().x(), 0, points.last().x(), 0));
            view.plot()->replot();
            const QImage everyRow = view.plot()->canvas()->grab().toImage();
            QVERIFY2(everyRow == columns, what);
            // The columns drew far fewer points, and the pause left a gap.
            QVERIFY2(drawn < all.rows.size() / 4, what);
            QCOMPARE(view.curve()->stretchCount(), 2);
        };
        compare("whole range");
        const int wide = view.plot()->canvas()->width();
        view.resize(1150, 650);
        QTRY_VERIFY(view.plot()->canvas()->width() < wide);
        compare("narrower");
        // Zoomed in: the visible part is read anew at the plot's resolution.
        view.plot()->setAxisScale(QwtPlot::xBottom, 600, 760);
        view.plot()->replot();
        compare("zoomed in");
        // On an automatic y scale, zoomed onto a few seconds (the values
        // span less than the range's: the scale stays the range's), onto
        // the end of the pause (the reading before the view is too far to
        // join it) and into the pause (no reading near the view at all).
        view.plotViewBar()->setAutoYScale(true);
        const std::pair<double, double> zooms[] = {{100, 104.5}, {730, 760}, {712, 740}};
        for (const auto &z : zooms) {
            view.plot()->setAxisScale(QwtPlot::xBottom, z.first, z.second);
            view.plot()->replot();
            compare(qPrintable(QStringLiteral("zoomed onto %1 … %2 s").arg(z.first).arg(z.second)));
        }
    }

    // A click on the curve brings the row of the moment clicked (the first at
    // or after it), numbered as the range's own, also beyond the rows the
    // table holds at once.
    void curveClickBringsItsRow()
    {
        HisViewForm view;
        view.resize(1200, 650);
        view.show();
        const QDateTime from = at("2024-06-01 00:00:00");
        view.loadRange(m_db->settings(), from, at("2024-06-01 05:00:00"));
        QVERIFY(settled(view));
        // Rows of one quantity: counted from its curve's columns.
        QVERIFY(!view.historyModel()->anchors().isEmpty());
        QTableView *table = view.tableView();
        QWidget *canvas = view.plot()->canvas();
        for (const double share : {0.8, 0.3}) {
            const QPoint pos(int(canvas->width() * share), canvas->height() / 2);
            const QDateTime clicked = HistoryReads::timeOfNaiveMs(
                HistoryCurve::msOf(view.plot()->invTransform(QwtPlot::xBottom, pos.x()), view.originMs()));
            table->clearSelection();
            QTest::mouseClick(canvas, Qt::LeftButton, Qt::NoModifier, pos);
            QTRY_COMPARE_WITH_TIMEOUT(table->selectionModel()->selectedRows().size(), 1, 20000);
            const int row = table->selectionModel()->selectedRows().first().row();
            const QDateTime time = at(qPrintable(cells(table->model(), row).at(0)));
            const qint64 after = clicked.msecsTo(time);
            QVERIFY2(after >= 0 && after < 1000, qPrintable(time.toString(Qt::ISODate)));
            // 17 rows a second from the range's start.
            QCOMPARE(table->model()->headerData(row, Qt::Vertical).toLongLong(), 17 * from.secsTo(time) + 1);
        }
    }

    // A window that follows shows the rows another writer commits, within a
    // second or so, without being asked.
    void followShowsWhatOthersWrite()
    {
        ScratchDatabase db(QStringLiteral("historyfollow"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        database writer(db.settings(), m_spool.filePath("follow"));
        writer.setSource(QStringLiteral("elsewhere"));
        QCOMPARE(writer.openDatabase(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(writer.isConnected(), 20000);
        MeterReading reading;
        reading.funcStr = QStringLiteral("DCV");
        reading.unitStr = QStringLiteral("V");
        reading.rangeIndex = 1;
        reading.decimals = 3;
        reading.valueStr = QStringLiteral("1.000");
        reading.time = QDateTime::currentDateTime();
        writer.submit(reading);
        QTRY_COMPARE_WITH_TIMEOUT(writer.pendingCount(), 0, 20000);

        HisViewForm view;
        view.show();
        view.loadRange(db.settings(), QDateTime::currentDateTime().addSecs(-60), QDateTime::currentDateTime());
        QVERIFY(settled(view));
        QCOMPARE(view.historyModel()->rowCount(), 1);
        view.followCheckBox()->setChecked(true);
        QVERIFY(settled(view));
        for (int i = 0; i < 3; ++i) {
            reading.time = QDateTime::currentDateTime();
            writer.submit(reading);
        }
        QTRY_COMPARE_WITH_TIMEOUT(view.historyModel()->rowCount(), 4, 15000);
        QCOMPARE(cells(view.historyModel(), 3).at(1), QStringLiteral("1.000"));
        // A program that tells nobody of its rows (a bulk load, a script) is
        // seen too.
        // The promise is a second: a look every second, plus the read.
        QElapsedTimer clock;
        clock.start();
        QVERIFY(db.insert(QDateTime::currentDateTime(), QStringLiteral("2.000")));
        QTRY_COMPARE_WITH_TIMEOUT(view.historyModel()->rowCount(), 5, 15000);
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QStringLiteral("seen after %1 ms").arg(clock.elapsed())));
    }

    // A read that fails says why and leaves no empty window that would pass for
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
        QVERIFY2(text.startsWith(QStringLiteral("历史记录读取失败！\n")) && text.contains("TK52K_DB_PORT \"abc\""),
                 qPrintable(text));
    }

    // Pressed while the range is read, the export writes every row of it once
    // it is, page by page. The user takes five seconds over the file name:
    // no progress box comes up over the save dialog, and none is left under
    // the notice.
    void exportWaitsForTheRead()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("range.txt");
        HisViewForm view;
        view.show();
        ModalDriver driver;
        QElapsedTimer clock;
        bool progressOverDialog = false;
        bool progressUnderNotice = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (visibleWindows<QFileDialog>().isEmpty() || visibleWindows<QProgressDialog>().isEmpty())
                return;
            // Seen: the dialog goes, so that the test ends rather than hangs.
            progressOverDialog = true;
            for (QFileDialog *d : visibleWindows<QFileDialog>())
                d->reject();
        });
        watch.start(20);
        driver.add([&clock](QWidget *w) {
            if (!qobject_cast<QFileDialog *>(w))
                return ModalDriver::Handled::NotMine;
            return clock.elapsed() < 5000 ? ModalDriver::Handled::Retry : ModalDriver::Handled::Done;
        });
        driver.chooseFile(path);
        driver.add([&](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box)
                return ModalDriver::Handled::NotMine;
            progressUnderNotice = !visibleWindows<QProgressDialog>().isEmpty();
            driver.boxes.append(SeenBox::of(box));
            box->done(QMessageBox::Apply);
            return ModalDriver::Handled::Done;
        });
        clock.start();
        view.loadRange(m_db->settings(), at("2024-06-01 00:00:00"), at("2024-06-01 00:10:00"));
        QVERIFY(view.isLoading());
        view.doBtnTxtSlot();
        QTRY_VERIFY_WITH_TIMEOUT(driver.done() || progressOverDialog, 60000);
        QVERIFY(!progressOverDialog);
        QCOMPARE(driver.unexpected, 0);
        QVERIFY(!progressUnderNotice);
        QCOMPARE(driver.boxes.value(0).text, QStringLiteral("文本文档保存成功！"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // Seconds 0 to 600, 17 rows each, under the header line.
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size() - 1, 601 * 17 + 1);
        QCOMPARE(lines.at(601 * 17), QByteArray("10217\t2024-06-01 00:10:00\t2.216\tV\t直流电压"));
    }

    // Stopped from its progress box, a long export keeps no file and says it
    // was cancelled rather than failed.
    void cancelledExportSaysSo()
    {
        // A day long enough for the progress box to come up: the rows
        // stream faster than it waits before it shows.
        QVERIFY2(m_db->exec(
                     RecordSchema::insertInto() +
                     QStringLiteral("SELECT '直流电压', '1.000', 'V', '2', timestamp '2024-06-05 00:00:00' + "
                                    "(i / 17) * interval '1 second' FROM generate_series(0, 1399999) i")),
                 qPrintable(m_db->error()));
        const auto dropDay = qScopeGuard([this] {
            m_db->exec(
                "DELETE FROM invoice WHERE create_time >= '2024-06-05' AND create_time < '2024-06-06'");
        });
        QTemporaryDir dir;
        const QString path = dir.filePath("all.txt");
        HisViewForm view;
        view.show();
        view.loadRange(m_db->settings(), at("2024-06-05 00:00:00"), at("2024-06-05 23:59:59"));
        QVERIFY(settled(view));
        ModalDriver driver;
        driver.chooseFile(path);
        driver.answerBox(QStringLiteral("OK"));
        QTimer cancel;
        connect(&cancel, &QTimer::timeout, [] {
            for (QProgressDialog *box : visibleWindows<QProgressDialog>())
                box->cancel();
        });
        cancel.start(20);
        view.doBtnTxtSlot();
        QTRY_VERIFY_WITH_TIMEOUT(driver.done(), 60000);
        QCOMPARE(driver.unexpected, 0);
        QCOMPARE(driver.boxes.value(0).text, QStringLiteral("导出已取消，未保存文件。"));
        QVERIFY(!QFileInfo::exists(path));
    }

    // The range bar shows the range read and reads another without the dialog.
    // The meters of the range are offered once it is read, and named in a
    // column of their own while the table shows several; choosing one reads
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
        QVERIFY(settled(view));
        // The bar's fields are wall-clock times, whatever the local zone.
        QCOMPARE(start->dateTime().toString("yyyy-MM-dd HH:mm:ss"), QString("2024-05-07 10:00:00"));
        QCOMPARE(stop->dateTime().toString("yyyy-MM-dd HH:mm:ss"), QString("2024-05-07 10:00:03"));
        const auto shown = [&](int column) {
            QStringList texts;
            for (int row = 0; row < view.historyModel()->rowCount(); ++row)
                texts << cells(view.historyModel(), row).value(column);
            return texts;
        };
        QCOMPARE(shown(1), (QStringList{"1", "2", "3", "4"}));
        QCOMPARE(view.historyModel()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("仪表"));
        QCOMPARE(shown(4), (QStringList{"meter-a", "meter-b", "", "meter-a"}));
        // The meter's column shows beside the four others, and the window
        // so widened still fits a 1366×768 screen.
        int columns = 0;
        for (int c = 0; c < view.historyModel()->columnCount(); ++c)
            columns += view.tableView()->columnWidth(c);
        QTRY_VERIFY2(view.tableView()->viewport()->width() >= columns,
                     qPrintable(QStringLiteral("%1 < %2").arg(view.tableView()->viewport()->width()).arg(columns)));
        const QRect screen(0, 0, 1366, 728);
        view.showWithin(screen);
        QVERIFY2(screen.contains(view.geometry()), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                  .arg(view.geometry().x())
                                                                  .arg(view.geometry().y())
                                                                  .arg(view.width())
                                                                  .arg(view.height())));
        QCOMPARE(view.curves().size(), 3); // one curve a meter, the unnamed one too
        QCOMPARE(box->count(), 4);
        QVERIFY(box->isEnabled());

        box->setCurrentIndex(box->findText("meter-a"));
        emit box->activated(box->currentIndex());
        QVERIFY(settled(view));
        QCOMPARE(shown(1), (QStringList{"1", "4"}));
        QCOMPARE(view.historyModel()->columnCount(), 4);
        QCOMPARE(box->currentText(), QStringLiteral("meter-a"));

        box->setCurrentIndex(0);
        emit box->activated(0);
        QVERIFY(settled(view));
        QCOMPARE(view.historyModel()->rowCount(), 4);

        start->setDateTime(at("2024-05-03 23:00:00"));
        stop->setDateTime(at("2024-05-04 01:00:00"));
        view.findChild<QPushButton *>("reloadPushButton")->click();
        QVERIFY(settled(view));
        QCOMPARE(view.historyModel()->rowCount(), 2);

        // A quick choice fills the bar and reads its range (nothing recorded yesterday here).
        view.findChild<QPushButton *>("yesterdayPushButton")->click();
        QVERIFY(settled(view));
        QCOMPARE(start->dateTime().toString("yyyy-MM-dd HH:mm:ss"),
                 QDateTime(QDate::currentDate().addDays(-1), QTime(0, 0)).toString("yyyy-MM-dd HH:mm:ss"));
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

    // A table made elsewhere whose `frastr` is an integer column, then the
    // same table held locked by another session for longer than a read waits.
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
        Stored r = readRange(db.settings(), from, from.addSecs(1));
        QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
        QCOMPARE(values(r), (QStringList{"1.5", "+ OL "}));
        QCOMPARE(r.rows.first().frastr, QStringLiteral("22"));

        {
            HisViewForm view;
            view.show();
            view.loadRange(db.settings(), from, from.addSecs(1));
            QVERIFY(settled(view));
            QCOMPARE(int(view.curve()->dataSize()), 2);
            QCOMPARE(view.curve()->sample(1).y(), 8000.0);
            // Read from its rows, and said so once.
            QVERIFY(!view.noteLabel()->isHidden());
        }

        QSqlDatabase holder = db.connection();
        QVERIFY(holder.transaction());
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("LOCK TABLE invoice IN ACCESS EXCLUSIVE MODE")));
        r = readRange(db.settings(), from, from.addSecs(1), 0, -1, 500);
        holder.rollback();
        QVERIFY2(r.error.startsWith(QStringLiteral("读取超时")), qPrintable(r.error));
    }

private:
    QTemporaryDir m_spool;
    std::unique_ptr<ScratchDatabase> m_db;
};

QTEST_MAIN(TestHistory)
#include "tst_history.moc"
