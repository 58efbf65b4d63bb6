#include "dialogs/timesettingform.h"
#include "mainwindow/tk52k_comm.h"
#include "resources/resources.h"

#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

// Friend of the main window: reads the sampling settings it keeps.
class tst_TimeSetting : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void opensInTheModeItIsGiven_data();
    void opensInTheModeItIsGiven();
    void uncheckingRestoresTheInterval();
    void noteIsReadableInFull();
    void validatorBounds_data();
    void validatorBounds();
    void okReports_data();
    void okReports();
    void okRefusesWithAWarning_data();
    void okRefusesWithAWarning();
    void cancelClosesWithoutReporting();
    void windowOpensANewDialogEachTime();
    void windowTakesTheChoiceAndClosesTheDialog();

private:
    static QCheckBox *checkBox(QWidget &f) { return f.findChild<QCheckBox *>("checkBox"); }
    static QLineEdit *field(QWidget &f) { return f.findChild<QLineEdit *>("lineEdit"); }
    static QPushButton *okButton(QWidget &f) { return f.findChild<QPushButton *>("pushButton"); }
    static QPushButton *cancelButton(QWidget &f) { return f.findChild<QPushButton *>("pushButton_2"); }
    // The window's own object timers (the sampling timer) with their periods.
    static QList<int> timerPeriods(QObject &o)
    {
        QList<int> periods;
        for (const QAbstractEventDispatcher::TimerInfo &t : QAbstractEventDispatcher::instance()->registeredTimers(&o))
            periods.append(t.interval);
        return periods;
    }
    static QMessageBox *openWarning(QWidget &f)
    {
        for (QMessageBox *box : f.findChildren<QMessageBox *>())
            if (box->isVisible())
                return box;
        return nullptr;
    }
};

void tst_TimeSetting::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
}

void tst_TimeSetting::opensInTheModeItIsGiven_data()
{
    QTest::addColumn<bool>("automatic");
    QTest::addColumn<uint>("interval");
    QTest::addColumn<QString>("text");
    QTest::newRow("automatic") << true << 7u << "";
    QTest::newRow("fixed") << false << 5u << "5";
    QTest::newRow("fixed, longest") << false << 3600u << "3600";
}

void tst_TimeSetting::opensInTheModeItIsGiven()
{
    QFETCH(bool, automatic);
    QFETCH(uint, interval);
    QFETCH(QString, text);

    TimeSettingForm form(automatic, interval);
    QCOMPARE(form.windowTitle(), QStringLiteral("采样数据时间间隔"));
    QCOMPARE(checkBox(form)->isChecked(), automatic);
    QCOMPARE(field(form)->isEnabled(), !automatic);
    QCOMPARE(field(form)->text(), text);
}

void tst_TimeSetting::uncheckingRestoresTheInterval()
{
    TimeSettingForm form(true, 42);
    form.show();
    QTest::mouseClick(checkBox(form), Qt::LeftButton, {}, QPoint(5, checkBox(form)->height() / 2));
    QVERIFY(!checkBox(form)->isChecked());
    QVERIFY(field(form)->isEnabled());
    QCOMPARE(field(form)->text(), QStringLiteral("42"));

    // Typed over, then back to automatic and out again: the given interval.
    field(form)->setText("99");
    checkBox(form)->click();
    QVERIFY(field(form)->text().isEmpty());
    QVERIFY(!field(form)->isEnabled());
    checkBox(form)->click();
    QCOMPARE(field(form)->text(), QStringLiteral("42"));
}

// The note names the accepted range; cut off after "（1~360" it would
// promise the wrong limit.
void tst_TimeSetting::noteIsReadableInFull()
{
    TimeSettingForm form(true, 1, nullptr);
    auto *note = form.findChild<QLabel *>(QStringLiteral("label_3"));
    QVERIFY(note);
    QVERIFY(note->text().endsWith(QStringLiteral("（1~3600S）")));
    const int flags = note->wordWrap() ? Qt::TextWordWrap : Qt::TextSingleLine;
    const QRect needed = note->fontMetrics().boundingRect(QRect(0, 0, note->width(), 10000), flags, note->text());
    QVERIFY2(needed.width() <= note->width(), qPrintable(QString::number(needed.width())));
    QVERIFY2(needed.height() <= note->height(), qPrintable(QString::number(needed.height())));
}

void tst_TimeSetting::validatorBounds_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("acceptable");
    QTest::newRow("1") << "1" << "1" << true;
    QTest::newRow("60") << "60" << "60" << true;
    QTest::newRow("61, beyond the old limit") << "61" << "61" << true;
    QTest::newRow("3600") << "3600" << "3600" << true;
    QTest::newRow("3601") << "3601" << "3601" << false;
    QTest::newRow("36000") << "36000" << "3600" << true; // the fifth digit is refused
    QTest::newRow("0") << "0" << "0" << false;
    QTest::newRow("empty") << "" << "" << false;
    QTest::newRow("minus refused") << "-5" << "5" << true;
    QTest::newRow("point refused") << "1.5" << "15" << true;
}

void tst_TimeSetting::validatorBounds()
{
    QFETCH(QString, input);
    QFETCH(QString, text);
    QFETCH(bool, acceptable);

    TimeSettingForm form(false, 1);
    form.show();
    field(form)->selectAll();
    QTest::keyClick(field(form), Qt::Key_Delete);
    QTest::keyClicks(field(form), input);
    QCOMPARE(field(form)->text(), text);
    QCOMPARE(field(form)->hasAcceptableInput(), acceptable);
}

void tst_TimeSetting::okReports_data()
{
    QTest::addColumn<bool>("automatic");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("reportedAuto");
    QTest::addColumn<uint>("reportedInterval");

    QTest::newRow("fixed 1") << false << "1" << false << 1u;
    QTest::newRow("fixed 5") << false << "5" << false << 5u;
    QTest::newRow("fixed 3600") << false << "3600" << false << 3600u;
    // Automatic keeps the interval the dialog was opened with (here 9), so a
    // later switch back to fixed sampling finds it again.
    QTest::newRow("automatic") << true << "" << true << 9u;
}

void tst_TimeSetting::okReports()
{
    QFETCH(bool, automatic);
    QFETCH(QString, typed);
    QFETCH(bool, reportedAuto);
    QFETCH(uint, reportedInterval);

    TimeSettingForm form(automatic, 9);
    form.show();
    QSignalSpy spy(&form, &TimeSettingForm::signalsBtnEnter);
    if (!automatic) {
        field(form)->selectAll();
        QTest::keyClicks(field(form), typed);
    }
    QTest::mouseClick(okButton(form), Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), reportedAuto);
    QCOMPARE(spy.at(0).at(1).toUInt(), reportedInterval);
    QVERIFY(form.isVisible()); // the receiver closes it
    QVERIFY(!openWarning(form));
}

void tst_TimeSetting::okRefusesWithAWarning_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << "";
    QTest::newRow("0") << "0";
    QTest::newRow("00") << "00";
    QTest::newRow("3601") << "3601";
}

void tst_TimeSetting::okRefusesWithAWarning()
{
    QFETCH(QString, typed);

    TimeSettingForm form(false, 9);
    form.show();
    QSignalSpy spy(&form, &TimeSettingForm::signalsBtnEnter);
    field(form)->selectAll();
    QTest::keyClicks(field(form), typed);
    if (typed.isEmpty())
        field(form)->clear();
    QTest::mouseClick(okButton(form), Qt::LeftButton);

    QCOMPARE(spy.count(), 0);
    QVERIFY(form.isVisible());
    QMessageBox *box = openWarning(form);
    QVERIFY(box);
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QCOMPARE(box->windowTitle(), QStringLiteral("警告"));
    QCOMPARE(box->text(), QStringLiteral("请输入1~3600之间的整数！"));

    // After the warning the user can correct the field and go on.
    box->accept();
    QTRY_VERIFY(!openWarning(form));
    field(form)->setText("12");
    QTest::mouseClick(okButton(form), Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(1).toUInt(), 12u);
}

void tst_TimeSetting::cancelClosesWithoutReporting()
{
    TimeSettingForm form(false, 3);
    form.show();
    QSignalSpy spy(&form, &TimeSettingForm::signalsBtnEnter);
    QTest::mouseClick(cancelButton(form), Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QCOMPARE(spy.count(), 0);
}

void tst_TimeSetting::windowOpensANewDialogEachTime()
{
    TK52K_Comm w;
    w.doMenuTime();
    QPointer<QWidget> first = w.timeSettingForm;
    QVERIFY(first);
    auto *form = qobject_cast<TimeSettingForm *>(first.data());
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QVERIFY(!form->parentWidget());
    QCOMPARE(form->size(), QSize(355, 235));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    // Qt completes the two hints with the window type and title bar hints;
    // no minimise, maximise or help buttons.
    const Qt::WindowFlags flags = form->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QCOMPARE(form->windowType(), Qt::Window);
    QCOMPARE(form->windowModality(), Qt::ApplicationModal);
    QVERIFY(checkBox(*form)->isChecked()); // the window starts in automatic mode

    w.doMenuTime();
    QVERIFY(w.timeSettingForm);
    QVERIFY(w.timeSettingForm != first);
    QVERIFY(first); // the earlier one is left alone
    delete first.data();
    delete w.timeSettingForm.data();
}

void tst_TimeSetting::windowTakesTheChoiceAndClosesTheDialog()
{
    TK52K_Comm w;
    QCOMPARE(timerPeriods(w), QList<int>{60});

    w.doMenuTime();
    QWidget *form = w.timeSettingForm;
    checkBox(*form)->click(); // to fixed: shows 1, the start-up interval
    QCOMPARE(field(*form)->text(), QStringLiteral("1"));
    field(*form)->setText("5");
    QTest::mouseClick(okButton(*form), Qt::LeftButton);

    QCOMPARE(w.autoflag, false);
    QCOMPARE(w.interval, 5u);
    QVERIFY(!form->isVisible());
    QCOMPARE(timerPeriods(w), QList<int>{5000});

    // Back to automatic: the fixed interval is kept for the next dialog.
    w.doMenuTime();
    form = w.timeSettingForm;
    QCOMPARE(field(*form)->text(), QStringLiteral("5"));
    checkBox(*form)->click();
    QTest::mouseClick(okButton(*form), Qt::LeftButton);
    QCOMPARE(w.autoflag, true);
    QCOMPARE(w.interval, 5u);
    QVERIFY(!form->isVisible());
    QCOMPARE(timerPeriods(w), QList<int>{60});

    w.doMenuTime();
    checkBox(*w.timeSettingForm)->click();
    QCOMPARE(field(*w.timeSettingForm)->text(), QStringLiteral("5"));
}

QTEST_MAIN(tst_TimeSetting)
#include "tst_timesetting.moc"
