#include "alarmsettingform.h"

#include "widgets/dialogs/tooldialog.h"

#include "ui_alarmsettingform.h"

#include "core/meter/baseunit.h"
#include "core/meter/framedecoder.h"

#include <QDoubleValidator>
#include <QMessageBox>

#include <algorithm>

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
    : QWidget(parent), ui(new Ui::AlarmSettingForm)
{
    ui->setupUi(this);
    for (int f = 0; f < kFunctionCount; ++f)
        ui->functionComboBox->addItem(meterFunctionText(f));
    ui->functionComboBox->setCurrentIndex(std::max(0, ui->functionComboBox->findText(function)));
    showUnits(unit);
    for (QLineEdit *field : {ui->lowLineEdit, ui->highLineEdit, ui->hysteresisLineEdit}) {
        auto *validator = new QDoubleValidator(field);
        validator->setLocale(QLocale::c());
        validator->setNotation(QDoubleValidator::StandardNotation);
        field->setValidator(validator);
    }

    showLimits();

    connect(ui->functionComboBox, QOverload<int>::of(&QComboBox::activated), this, [this] {
        showUnits(QString());
        showLimits();
    });
    connect(ui->unitComboBox, QOverload<int>::of(&QComboBox::activated), this, &AlarmSettingForm::showLimits);
    connect(ui->lowCheckBox, &QCheckBox::toggled, ui->lowLineEdit, &QWidget::setEnabled);
    connect(ui->highCheckBox, &QCheckBox::toggled, ui->highLineEdit, &QWidget::setEnabled);
    connect(ui->pushButton, &QPushButton::clicked, this, &AlarmSettingForm::doBtnEnterSlot);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &AlarmSettingForm::doBtnCancelSlot);
    setDialogKeys(this, ui->pushButton, ui->pushButton_2);
}

QString AlarmSettingForm::function() const
{
    return ui->functionComboBox->currentText();
}

QString AlarmSettingForm::unit() const
{
    return ui->unitComboBox->currentData().toString();
}

void AlarmSettingForm::showUnits(const QString &unit)
{
    ui->unitComboBox->clear();
    // One band per base unit holds on every range ("mV" and "V" are both
    // judged in V); only a function of two scales (℃, ℉) offers a choice.
    // hFE has no unit (the meter's " "): the entry reads as a dash.
    QStringList bases;
    for (const QString &u : meterFunctionUnits(ui->functionComboBox->currentIndex())) {
        const QString base = baseUnitOf(u).unit;
        if (!bases.contains(base))
            bases << base;
    }
    for (const QString &u : qAsConst(bases))
        ui->unitComboBox->addItem(u.trimmed().isEmpty() ? QStringLiteral("—") : u, u);
    ui->unitComboBox->setCurrentIndex(std::max(0, ui->unitComboBox->findData(baseUnitOf(unit).unit)));
}

void AlarmSettingForm::showLimits()
{
    const AlarmLimits limits = AlarmLimits::load(function(), unit());
    ui->lowCheckBox->setChecked(bool(limits.low));
    ui->lowLineEdit->setText(limits.low ? numberText(*limits.low) : QString());
    ui->highCheckBox->setChecked(bool(limits.high));
    ui->highLineEdit->setText(limits.high ? numberText(*limits.high) : QString());
    ui->hysteresisLineEdit->setText(numberText(limits.hysteresis));
    ui->lowLineEdit->setEnabled(ui->lowCheckBox->isChecked());
    ui->highLineEdit->setEnabled(ui->highCheckBox->isChecked());
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
    limits.save(function(), unit());
    emit signalsBtnEnter(function(), unit(), limits);
}

void AlarmSettingForm::doBtnCancelSlot()
{
    close();
}
