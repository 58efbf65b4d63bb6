#include "dialogs/alarmsettingform.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

class tst_AlarmSetting : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void typedLimits_data();
    void typedLimits();

private:
    static void type(QWidget &form, const char *check, const char *field, const QString &text)
    {
        if (check)
            form.findChild<QCheckBox *>(check)->setChecked(!text.isNull());
        if (!text.isNull()) {
            auto *edit = form.findChild<QLineEdit *>(field);
            edit->clear();
            QTest::keyClicks(edit, text);
        }
    }
};

void tst_AlarmSetting::initTestCase()
{
    qRegisterMetaType<AlarmLimits>();
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_alarmsetting"));
    QSettings().clear();
}

void tst_AlarmSetting::typedLimits_data()
{
    // A null text: the limit's box is left unticked.
    QTest::addColumn<QString>("low");
    QTest::addColumn<QString>("high");
    QTest::addColumn<QString>("hysteresis");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("band") << "-1.5"
                          << "4.25"
                          << "0.05" << true;
    QTest::newRow("high only") << QString() << "400"
                               << "" << true;
    QTest::newRow("low above high") << "5"
                                    << "4"
                                    << "0" << false;
    QTest::newRow("half-typed number") << "-"
                                       << "4"
                                       << "0" << false;
}

void tst_AlarmSetting::typedLimits()
{
    QFETCH(QString, low);
    QFETCH(QString, high);
    QFETCH(QString, hysteresis);
    QFETCH(bool, accepted);

    const QString func = QStringLiteral("直流电压"), unit = QStringLiteral("V");
    const AlarmLimits before = AlarmLimits::load(func, unit);
    AlarmSettingForm form(func, unit);
    QSignalSpy entered(&form, &AlarmSettingForm::signalsBtnEnter);
    type(form, "lowCheckBox", "lowLineEdit", low);
    type(form, "highCheckBox", "highLineEdit", high);
    type(form, nullptr, "hysteresisLineEdit", hysteresis);
    form.findChild<QPushButton *>("pushButton")->click();

    if (!accepted) {
        QCOMPARE(entered.count(), 0);
        QVERIFY(form.findChild<QMessageBox *>());
        const AlarmLimits kept = AlarmLimits::load(func, unit);
        QVERIFY(kept.low == before.low && kept.high == before.high);
        return;
    }
    QCOMPARE(entered.count(), 1);
    const AlarmLimits reported = entered[0][0].value<AlarmLimits>();
    QCOMPARE(reported.low, low.isNull() ? std::nullopt : std::optional<double>(low.toDouble()));
    QCOMPARE(reported.high, std::optional<double>(high.toDouble()));
    QCOMPARE(reported.hysteresis, hysteresis.toDouble());

    // Opened again, the dialog shows what was remembered.
    AlarmSettingForm again(func, unit);
    QCOMPARE(again.findChild<QCheckBox *>("lowCheckBox")->isChecked(), !low.isNull());
    QCOMPARE(again.findChild<QLineEdit *>("highLineEdit")->text(), high);
    QCOMPARE(again.findChild<QLineEdit *>("hysteresisLineEdit")->text(),
             hysteresis.isEmpty() ? QStringLiteral("0") : hysteresis);
}

QTEST_MAIN(tst_AlarmSetting)
#include "tst_alarmsetting.moc"
