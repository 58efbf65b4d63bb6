#pragma once

#include "core/meter/alarmrule.h"

#include <QWidget>

namespace Ui {
class AlarmSettingForm;
}

/// The alarm band of one quantity: a low and a high limit, each of which can
/// be left out, and the hysteresis. Opens with the limits remembered for the
/// function and unit; OK remembers the new ones and reports them through
/// signalsBtnEnter; the receiver closes the dialog.
class AlarmSettingForm : public QWidget
{
    Q_OBJECT

public:
    AlarmSettingForm(const QString &function, const QString &unit, QWidget *parent = nullptr);
    ~AlarmSettingForm() override;

signals:
    void signalsBtnEnter(const AlarmLimits &limits);

public slots:
    void doBtnEnterSlot();
    void doBtnCancelSlot();

private:
    Ui::AlarmSettingForm *ui;
    QString m_function;
    QString m_unit;
};
