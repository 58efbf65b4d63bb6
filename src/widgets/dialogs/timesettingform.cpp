#include "timesettingform.h"

#include "widgets/dialogs/tooldialog.h"

#include "ui_timesettingform.h"

#include <QIntValidator>
#include <QMessageBox>

TimeSettingForm::TimeSettingForm(bool autoflag, uint interval, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TimeSettingForm)
    , m_autoflag(autoflag)
    , m_interval(interval)
{
    ui->setupUi(this);
    // The note under the field promises 1 to 3600 seconds.
    ui->lineEdit->setValidator(new QIntValidator(int(kMinInterval), int(kMaxInterval), ui->lineEdit));
    ui->checkBox->setChecked(m_autoflag);
    if (m_autoflag) {
        ui->lineEdit->clear();
        ui->lineEdit->setEnabled(false);
    } else {
        ui->lineEdit->setEnabled(true);
        ui->lineEdit->setText(QString::number(m_interval));
    }
    connect(ui->pushButton, &QPushButton::clicked, this, &TimeSettingForm::doBtnEnterSlot);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &TimeSettingForm::doBtnCancelSlot);
    connect(ui->checkBox, &QCheckBox::clicked, this, &TimeSettingForm::doCheckBoxSlot);
    setDialogKeys(this, ui->pushButton, ui->pushButton_2);
}

TimeSettingForm::~TimeSettingForm()
{
    delete ui;
}

void TimeSettingForm::doBtnEnterSlot()
{
    if (ui->checkBox->isChecked()) {
        // Automatic sampling has no interval of its own; the fixed one is
        // kept for the next time fixed sampling is chosen.
        emit signalsBtnEnter(true, m_interval);
        return;
    }
    // An empty field or 0 would arm a timer that fires on every pass of the
    // event loop; the validator lets such half-typed text stand in the
    // field, so it is checked here.
    if (!ui->lineEdit->hasAcceptableInput()) {
        auto *box = new QMessageBox(QMessageBox::Warning, tr("警告"), tr("请输入1~3600之间的整数！"),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    emit signalsBtnEnter(false, ui->lineEdit->text().toUInt());
}

void TimeSettingForm::doBtnCancelSlot()
{
    close();
}

void TimeSettingForm::doCheckBoxSlot()
{
    if (ui->checkBox->isChecked()) {
        ui->lineEdit->clear();
        ui->lineEdit->setEnabled(false);
    } else {
        ui->lineEdit->setEnabled(true);
        ui->lineEdit->setText(QString::number(m_interval));
    }
}
