#include "modaldriver.h"

#include "widgets/dialogs/aboutform.h"
#include "widgets/dialogs/alarmsettingform.h"
#include "widgets/dialogs/commsettingform.h"
#include "widgets/dialogs/timesettingform.h"
#include "widgets/dialogs/tooldialog.h"
#include "widgets/history/hissettingform.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "core/meter/metersession.h"
#include "widgets/resources/resources.h"

#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QClipboard>
#include <QDateTimeEdit>
#include <QSignalSpy>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

namespace {

QCheckBox *checkBox(QWidget *f) { return f->findChild<QCheckBox *>(QStringLiteral("checkBox")); }
QLineEdit *field(QWidget *f) { return f->findChild<QLineEdit *>(QStringLiteral("lineEdit")); }
QPushButton *okButton(QWidget *f) { return f->findChild<QPushButton *>(QStringLiteral("pushButton")); }

// The interval dialog the window has open, modal to the whole program.
QWidget *openDialog() { return QApplication::activeModalWidget(); }

// The periods of the window's own object timers: with a fixed interval, the clock at it.
QList<int> timerPeriods(QObject &o)
{
    QList<int> periods;
    for (const QAbstractEventDispatcher::TimerInfo &t : QAbstractEventDispatcher::instance()->registeredTimers(&o))
        periods.append(t.interval);
    return periods;
}

} // namespace

class tst_TimeSetting : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initTk52kResources();
        installFontSubstitutions();
    }

    void typedInterval_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<uint>("reported"); // 0: refused with a warning
        QTest::newRow("1") << "1" << 1u;
        QTest::newRow("61, beyond a minute") << "61" << 61u;
        QTest::newRow("3600") << "3600" << 3600u;
        QTest::newRow("3601") << "3601" << 0u;
        QTest::newRow("0") << "0" << 0u;
        QTest::newRow("empty") << "" << 0u;
    }

    void typedInterval()
    {
        QFETCH(QString, typed);
        QFETCH(uint, reported);
        TimeSettingForm form(false, 9);
        form.show();
        QSignalSpy spy(&form, &TimeSettingForm::signalsBtnEnter);
        field(&form)->selectAll();
        QTest::keyClick(field(&form), Qt::Key_Delete);
        QTest::keyClicks(field(&form), typed);
        ModalDriver driver;
        if (!reported)
            driver.answerBox(QString());
        QTest::mouseClick(okButton(&form), Qt::LeftButton);
        if (!reported) {
            QTRY_VERIFY(driver.done());
            QCOMPARE(driver.boxes[0].text, QStringLiteral("请输入1~3600之间的整数！"));
            // The dialog stays for the user to correct the field.
            QCOMPARE(spy.count(), 0);
            QVERIFY(form.isVisible());
            return;
        }
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy[0][0].toBool(), false);
        QCOMPARE(spy[0][1].toUInt(), reported);
    }

    // The program's own dialogs take the keys of a dialog: Enter from the field
    // with the focus confirms, Enter on a focused button presses it, Escape
    // cancels.
    void enterAndEscape_data()
    {
        QTest::addColumn<QString>("dialog");
        for (const char *name : {"about", "port", "interval", "alarm", "history"})
            QTest::newRow(name) << name;
    }

    void enterAndEscape()
    {
        QFETCH(QString, dialog);
        // Enter from the field with the focus, then on the focused cancel
        // button, then Escape.
        for (const int step : {0, 1, 2}) {
            QPointer<QWidget> form = dialog == "about"      ? static_cast<QWidget *>(new AboutForm)
                                     : dialog == "port"     ? static_cast<QWidget *>(new CommSettingForm)
                                     : dialog == "interval" ? static_cast<QWidget *>(new TimeSettingForm(false, 5))
                                     : dialog == "alarm"    ? static_cast<QWidget *>(new AlarmSettingForm({}, {}))
                                                            : static_cast<QWidget *>(new HisSettingForm);
            showToolDialog(form, form->size());
            QSignalSpy ok(okButton(form), &QAbstractButton::clicked);
            auto *cancel = form->findChild<QPushButton *>(QStringLiteral("pushButton_2"));
            if (step == 1 && !cancel)
                continue;
            if (step == 1)
                cancel->setFocus();
            QTest::keyClick(form->focusWidget() ? form->focusWidget() : form.data(),
                            step == 2 ? Qt::Key_Escape : Qt::Key_Return);
            QCOMPARE(ok.count(), step == 0 ? 1 : 0);
            if (step == 0 && form)
                form->close();
            QTRY_VERIFY(!form);
        }
    }

    void windowTakesTheChoice()
    {
        TK52K_Comm w;
        w.doMenuTime();
        QPointer<QWidget> form = openDialog();
        QVERIFY(checkBox(form)->isChecked()); // the window starts in automatic mode
        checkBox(form)->click();              // to fixed: shows 1, the start-up interval
        QCOMPARE(field(form)->text(), QStringLiteral("1"));
        field(form)->setText(QStringLiteral("5"));
        QTest::mouseClick(okButton(form), Qt::LeftButton);
        // A confirmed dialog is gone, not merely hidden.
        QTRY_VERIFY(!form);
        QCOMPARE(timerPeriods(w), QList<int>{5000});
        QCOMPARE(w.session()->samplePeriodMs(), 5000);

        // Back to automatic: the fixed interval is kept for the next dialog.
        w.doMenuTime();
        form = openDialog();
        QCOMPARE(field(form)->text(), QStringLiteral("5"));
        checkBox(form)->click();
        QTest::mouseClick(okButton(form), Qt::LeftButton);
        QVERIFY(w.session()->isAutomatic());
        QVERIFY(!timerPeriods(w).contains(5000));
        w.doMenuTime();
        checkBox(openDialog())->click();
        QCOMPARE(field(openDialog())->text(), QStringLiteral("5"));
    }

    // A date-time typed or pasted into the range dialog is taken whole, over
    // the whole field or over its time; one that is no date-time is refused
    // with a message and nothing is asked of the store.
    void rangeFieldTakesTypedTimesWhole_data()
    {
        QTest::addColumn<bool>("paste");
        QTest::addColumn<int>("selectFrom"); // -1: all; otherwise the cursor, with `selectLength`
        QTest::addColumn<int>("selectLength");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("taken"); // invalid: refused
        const QDateTime typed(QDate(2026, 11, 20), QTime(10, 15, 30));
        const QDateTime timeOnly(QDate(2026, 11, 19), QTime(1, 2, 3));
        QTest::newRow("typed over all") << false << -1 << 0 << "2026-11-20 10:15:30" << typed;
        QTest::newRow("pasted over all") << true << -1 << 0 << "2026-11-20 10:15:30" << typed;
        QTest::newRow("typed over the time") << false << 11 << 8 << "01:02:03" << timeOnly;
        QTest::newRow("pasted over the time") << true << 11 << 8 << "01:02:03" << timeOnly;
        QTest::newRow("no such day") << false << -1 << 0 << "2026-11-31 10:15:30" << QDateTime();
        QTest::newRow("typed into the hour") << false << 11 << 0 << "10:15:30" << QDateTime();
    }

    void rangeFieldTakesTypedTimesWhole()
    {
        QFETCH(bool, paste);
        QFETCH(int, selectFrom);
        QFETCH(int, selectLength);
        QFETCH(QString, text);
        QFETCH(QDateTime, taken);
        HisSettingForm form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        auto *start = form.findChild<QDateTimeEdit *>(QStringLiteral("startDateTimeEdit"));
        const QDateTime before(QDate(2026, 11, 19), QTime(8, 0, 0));
        start->setDateTime(before);
        start->setFocus();
        auto *edit = start->findChild<QLineEdit *>();
        if (selectFrom < 0)
            edit->selectAll();
        else
            edit->setSelection(selectFrom, selectLength);
        if (paste) {
            QApplication::clipboard()->setText(text);
            QTest::keyClick(start, Qt::Key_V, Qt::ControlModifier);
        } else {
            QTest::keyClicks(start, text);
        }

        QSignalSpy entered(&form, &HisSettingForm::signalsBtnEnter);
        ModalDriver driver;
        if (!taken.isValid())
            driver.answerBox(QStringLiteral("OK"));
        okButton(&form)->click();
        QCOMPARE(driver.unexpected, 0);
        if (taken.isValid()) {
            QCOMPARE(entered.size(), 1);
            QCOMPARE(entered.first().first().toDateTime(), taken);
            QVERIFY(driver.boxes.isEmpty());
            return;
        }
        QCOMPARE(entered.size(), 0);
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes.first().title, QStringLiteral("时间格式错误"));
        // The text stays for mending; the field still holds the earlier time.
        QCOMPARE(start->dateTime().toString("yyyy-MM-dd HH:mm:ss"), before.toString("yyyy-MM-dd HH:mm:ss"));
    }
};

QTEST_MAIN(tst_TimeSetting)
#include "tst_timesetting.moc"
