#pragma once

#include "ui_commsettingform.h"

#include "core/meter/serialport.h"

#include <QString>
#include <QWidget>

/// The port dialog: lists the serial ports the system knows and also takes
/// any typed device path (a pseudo-terminal, a /dev/serial/by-id/ link), which
/// no SerialPortInfo can describe. The last port confirmed is remembered and
/// preselected the next time.
class CommSettingForm : public QWidget
{
    Q_OBJECT

public:
    explicit CommSettingForm(QWidget *parent = nullptr);

    /// Shows `name` as the chosen port (the one the window uses now),
    /// replacing the remembered one.
    void setCurrentPortName(const QString &name);

    /// Key of the remembered port in the application's QSettings.
    static QString settingsKey();

signals:
    /// The chosen port as the system lists it; null when the typed name is
    /// not a listed port (then only signalsPortNameEnter describes it).
    void signalsBtnEnter(SerialPortInfo com_info);
    /// The chosen port as typed or picked: a listed port's name or a device
    /// path. Emitted just before signalsBtnEnter.
    void signalsPortNameEnter(const QString &portName);

public slots:
    void doBtnEnter();
    void doBtnCancel();

private:
    Ui::CommSettingForm ui;
    SerialPortInfo selectedPort;
};
