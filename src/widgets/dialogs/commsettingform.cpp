#include "commsettingform.h"

#include "widgets/dialogs/tooldialog.h"

#include <QComboBox>
#include <QSettings>

CommSettingForm::CommSettingForm(QWidget *parent)
    : QWidget(parent)
{
    ui.setupUi(this);
    // Editable, so a device the system does not list can be typed.
    ui.comboBox->setEditable(true);
    ui.comboBox->setInsertPolicy(QComboBox::NoInsert);
    const auto ports = SerialPortInfo::availablePorts();
    for (const SerialPortInfo &info : ports)
        ui.comboBox->addItem(info.portName());

    const QString remembered = QSettings().value(settingsKey()).toString();
    if (!remembered.isEmpty())
        setCurrentPortName(remembered);

    connect(ui.pushButton, &QPushButton::clicked, this, &CommSettingForm::doBtnEnter);
    connect(ui.pushButton_2, &QPushButton::clicked, this, &CommSettingForm::doBtnCancel);
    setDialogKeys(this, ui.pushButton, ui.pushButton_2);
}

QString CommSettingForm::settingsKey()
{
    return QStringLiteral("serial/port");
}

void CommSettingForm::setCurrentPortName(const QString &name)
{
    const int index = ui.comboBox->findText(name);
    if (index >= 0)
        ui.comboBox->setCurrentIndex(index);
    else
        ui.comboBox->setEditText(name);
}

void CommSettingForm::doBtnEnter()
{
    const QString name = ui.comboBox->currentText().trimmed();
    // The list is read again: the port may have gone since the dialog opened.
    const auto ports = SerialPortInfo::availablePorts();
    for (const SerialPortInfo &info : ports) {
        if (info.portName() == name)
            selectedPort = info;
    }
    if (!name.isEmpty())
        QSettings().setValue(settingsKey(), name);
    emit signalsPortNameEnter(name);
    emit signalsBtnEnter(selectedPort);
}

void CommSettingForm::doBtnCancel()
{
    close();
}
