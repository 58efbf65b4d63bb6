#include "alarmsettingform.h"

#include "ui_alarmsettingform.h"

#include <QDoubleValidator>
#include <QMessageBox>

namespace {

// The meter writes a full stop as decimal point whatever the locale; so do we.
QString numberText(double v)
{
    return QLocale::c().toString(v, 'g', 12);
}

std::optional<double> numberOf(const QLineEdit *field, bool *ok)
{
    bool parsed = false;
    const double v = QLocale::c().toDouble(field->text().trimmed(), &parsed);
    *ok = parsed;
    return parsed ? std::optional<double>(v) : std::nullopt;
}

} // namespace

AlarmSettingForm::AlarmSettingForm(const QString &function, const QString &unit, QWidget *parent)
    : QWidget(parent), ui(new Ui::AlarmSettingForm), m_function(function), m_unit(unit)
{
    ui->setupUi(this);
    ui->quantityLabel->setText(QStringLiteral("%1 (%2)").arg(function, unit));
    for (QLineEdit *field : {ui->lowLineEdit, ui->highLineEdit, ui->hysteresisLineEdit}) {
        auto *validator = new QDoubleValidator(field);
        validator->setLocale(QLocale::c());
        validator->setNotation(QDoubleValidator::StandardNotation);
        field->setValidator(validator);
    }

    const AlarmLimits limits = AlarmLimits::load(function, unit);
    ui->lowCheckBox->setChecked(bool(limits.low));
    ui->lowLineEdit->setText(limits.low ? numberText(*limits.low) : QString());
    ui->highCheckBox->setChecked(bool(limits.high));
    ui->highLineEdit->setText(limits.high ? numberText(*limits.high) : QString());
    ui->hysteresisLineEdit->setText(numberText(limits.hysteresis));
    ui->lowLineEdit->setEnabled(ui->lowCheckBox->isChecked());
    ui->highLineEdit->setEnabled(ui->highCheckBox->isChecked());

    connect(ui->lowCheckBox, &QCheckBox::toggled, ui->lowLineEdit, &QWidget::setEnabled);
    connect(ui->highCheckBox, &QCheckBox::toggled, ui->highLineEdit, &QWidget::setEnabled);
    connect(ui->pushButton, &QPushButton::clicked, this, &AlarmSettingForm::doBtnEnterSlot);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &AlarmSettingForm::doBtnCancelSlot);
}

AlarmSettingForm::~AlarmSettingForm()
{
    delete ui;
}

void AlarmSettingForm::doBtnEnterSlot()
{
    AlarmLimits limits;
    bool ok = true;
    bool fieldOk = true;
    if (ui->lowCheckBox->isChecked()) {
        limits.low = numberOf(ui->lowLineEdit, &fieldOk);
        ok = ok && fieldOk;
    }
    if (ui->highCheckBox->isChecked()) {
        limits.high = numberOf(ui->highLineEdit, &fieldOk);
        ok = ok && fieldOk;
    }
    const std::optional<double> hysteresis = ui->hysteresisLineEdit->text().trimmed().isEmpty()
                                                 ? std::optional<double>(0.0)
                                                 : numberOf(ui->hysteresisLineEdit, &fieldOk);
    ok = ok && hysteresis;
    limits.hysteresis = hysteresis.value_or(0.0);
    if (!ok || !limits.isValid()) {
        auto *box = new QMessageBox(QMessageBox::Warning, tr("警告"), tr("下限须小于上限，回差不能为负！"),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    limits.save(m_function, m_unit);
    emit signalsBtnEnter(limits);
}

void AlarmSettingForm::doBtnCancelSlot()
{
    close();
}
