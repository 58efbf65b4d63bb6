#include "scratchdatabase.h"

#include "dialogs/alarmsettingform.h"
#include "mainwindow/runmonitor.h"
#include "mainwindow/tk52k_comm.h"
#include "meter/alarmwatch.h"
#include "meter/frameencoder.h"
#include "meter/memoryline.h"
#include "meter/metersession.h"
#include "meter/statsbox.h"
#include "resources/resources.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QtTest>

namespace {

constexpr int kWait = 15000;
// A range with three decimals: a count of 2500 reads 2.5.
constexpr int kRange = 1;

QByteArray frame(int count, bool overload = false, int range = kRange)
{
    return encodeMeterFrame(FrameContent{range, -1, count, false, overload, {}});
}

} // namespace

/// The main window's statistics box and alarm band, driven by frames on a
/// line in memory, with the events going to a scratch database.
class TestRunMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void alarmAndStatisticsFollowTheReadings();
    void refusedReadingsAreWrittenWhenAsked();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ScratchDatabase> m_db;
};

void TestRunMonitor::initTestCase()
{
    initTk52kResources();
    QVERIFY(m_dir.isValid());
    qputenv("TK52K_SPOOL_DIR", m_dir.path().toLocal8Bit());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
    m_db = std::make_unique<ScratchDatabase>(QStringLiteral("runmonitor"));
    QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
}

void TestRunMonitor::alarmAndStatisticsFollowTheReadings()
{
    TK52K_Comm w;
    MemoryLine line;
    QVERIFY(w.session()->start(&line));
    auto *alarmAction = w.findChild<QAction *>(QStringLiteral("actionSettingAlarm"));
    auto *digits = w.findChild<QLabel *>(QStringLiteral("label_8"));
    auto *note = w.findChild<QLabel *>(QStringLiteral("alarmLabel"));
    StatsBox *box = w.runMonitor()->statsBox();
    QSignalSpy bells(w.runMonitor()->alarms(), &AlarmWatch::raised);
    const auto send = [&](const QByteArray &bytes) {
        line.feed(bytes);
        w.session()->sample();
    };

    QVERIFY(!alarmAction->isEnabled());
    send(frame(1000));
    QVERIFY(alarmAction->isEnabled());
    const QString unit = w.session()->currentReading().unitStr;
    const QString function = w.session()->currentReading().funcStr;

    // High limit 2, cleared only below 1.9; set through the dialog.
    alarmAction->trigger();
    AlarmSettingForm *form = w.runMonitor()->alarmDialog();
    QVERIFY(form);
    form->findChild<QCheckBox *>(QStringLiteral("lowCheckBox"))->setChecked(false);
    form->findChild<QCheckBox *>(QStringLiteral("highCheckBox"))->setChecked(true);
    form->findChild<QLineEdit *>(QStringLiteral("highLineEdit"))->setText(QStringLiteral("2"));
    form->findChild<QLineEdit *>(QStringLiteral("hysteresisLineEdit"))->setText(QStringLiteral("0.1"));
    form->findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
    QTRY_VERIFY(!w.runMonitor()->alarmDialog());
    QCOMPARE(*AlarmLimits::load(function, unit).high, 2.0);

    const QString green = digits->styleSheet();
    send(frame(1500));
    QCOMPARE(digits->styleSheet(), green);
    send(frame(2500));
    QVERIFY2(digits->styleSheet().contains(QLatin1String("255, 0, 0")), qPrintable(digits->styleSheet()));
    QVERIFY(note->isVisibleTo(&w));
    QVERIFY2(note->text().contains(QStringLiteral("高于上限 2 %1").arg(unit)), qPrintable(note->text()));
    // Back under the limit but inside the band: still raised, no second bell.
    send(frame(1950));
    send(frame(2600));
    QVERIFY(digits->styleSheet().contains(QLatin1String("255, 0, 0")));
    QCOMPARE(bells.count(), 1);
    send(frame(1800));
    QCOMPARE(digits->styleSheet(), green);
    QVERIFY(!note->isVisibleTo(&w));
    send(frame(0, true));

    // The run's figures since the range began, overload apart.
    QTRY_COMPARE(box->figureText(QStringLiteral("count")), QStringLiteral("6"));
    QCOMPARE(box->figureText(QStringLiteral("overloads")), QStringLiteral("1"));
    QCOMPARE(box->figureText(QStringLiteral("mean")), QStringLiteral("1.891667 %1").arg(unit));
    QVERIFY(box->figureText(QStringLiteral("max")).startsWith(QStringLiteral("2.6 %1 (").arg(unit)));
    QVERIFY(box->figureText(QStringLiteral("min")).startsWith(QStringLiteral("1 %1 (").arg(unit)));

    // A raise and a clear reach the table; the overload after the clear
    // raised again (it lies beyond every high limit).
    QSqlQuery q(m_db->connection());
    QTRY_VERIFY_WITH_TIMEOUT(q.exec(QStringLiteral("SELECT count(*) FROM alarm_event")) && q.next() &&
                                 q.value(0).toInt() == 3,
                             kWait);
    QVERIFY(q.exec(QStringLiteral("SELECT raised, limit_kind, value FROM alarm_event ORDER BY id")));
    QStringList events;
    while (q.next())
        events << QStringLiteral("%1 %2 %3")
                      .arg(q.value(0).toBool())
                      .arg(q.value(1).toString(), q.value(2).toString());
    QCOMPARE(events, (QStringList{"1 high 2.5", "0 high 1.8", "1 high inf"}));

    // A new range starts new figures.
    send(frame(1000, false, kRange + 1));
    QCOMPARE(box->figureText(QStringLiteral("count")), QStringLiteral("1"));
    QCOMPARE(box->figureText(QStringLiteral("overloads")), QStringLiteral("0"));
}

// 文件 → "重新写入被拒绝的读数" is there only while the server has refused
// something, and hands it back once the cause is mended.
void TestRunMonitor::refusedReadingsAreWrittenWhenAsked()
{
    QVERIFY2(m_db->exec(QStringLiteral("TRUNCATE invoice")), qPrintable(m_db->error()));
    QVERIFY2(m_db->exec(QStringLiteral(
                 "ALTER TABLE invoice ADD CONSTRAINT no_25 CHECK (datavaluestr NOT LIKE '2.5%')")),
             qPrintable(m_db->error()));
    TK52K_Comm w;
    MemoryLine line;
    QVERIFY(w.session()->start(&line));
    auto *retry = w.findChild<QAction *>(QStringLiteral("actionRetryRejected"));
    QVERIFY(!retry->isEnabled());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refused the reading .*no_25")));
    // The first reading of a range is shown, not stored.
    for (const int count : {1000, 2500, 1500}) {
        line.feed(frame(count));
        w.session()->sample();
    }
    QTRY_VERIFY_WITH_TIMEOUT(retry->isEnabled(), kWait);

    QVERIFY2(m_db->exec(QStringLiteral("ALTER TABLE invoice DROP CONSTRAINT no_25")),
             qPrintable(m_db->error()));
    retry->trigger();
    QSqlQuery q(m_db->connection());
    QTRY_VERIFY_WITH_TIMEOUT(
        q.exec(QStringLiteral("SELECT count(*) FROM invoice")) && q.next() && q.value(0).toInt() == 2, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(!retry->isEnabled(), kWait);
}

QTEST_MAIN(TestRunMonitor)
#include "tst_runmonitor.moc"
