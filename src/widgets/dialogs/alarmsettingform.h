#pragma once

#include "core/meter/alarmrule.h"

#include <QWidget>

namespace Ui {
class AlarmSettingForm;
}

/// The alarm band of one quantity: a low and a high limit, each of which can
/// be left out, and the hysteresis. The quantity (function and unit) is
/// chosen in the dialog, so a band can be set before the meter sends
/// anything; the fields show the limits remembered for the quantity chosen.
/// OK remembers the new ones and reports them through signalsBtnEnter; the
/// receiver closes the dialog.
class AlarmSettingForm : public QWidget
{
    Q_OBJECT

public:
    /// Opens on `function` and `unit` (the quantity measured), or on the
    /// meter's first function when they name none it has.
    AlarmSettingForm(const QString &function, const QString &unit, QWidget *parent = nullptr);
    ~AlarmSettingForm() override;

    QString function() const;
    QString unit() const;

signals:
    void signalsBtnEnter(const QString &function, const QString &unit, const AlarmLimits &limits);

public slots:
    void doBtnEnterSlot();
    void doBtnCancelSlot();

private:
    void showUnits(const QString &unit);
    void showLimits();

    Ui::AlarmSettingForm *ui;
};
