#include "frontpanel.h"

#include "meter/extremes.h"
#include "meter/framedecoder.h"
#include "meter/maxdatabase.h"
#include "meter/meterreading.h"
#include "ui_tk52k_comm.h"

FrontPanel::FrontPanel(Ui::TK52KCommClass &form) : ui(form)
{
    // The designer numbered the segments pushButton, pushButton_2 … _61 from
    // the left, and the ticks _125 … _184 plus _186.
    auto cell = [this](const QString &name) {
        auto *button = ui.groupBox->findChild<QPushButton *>(name, Qt::FindDirectChildrenOnly);
        Q_ASSERT_X(button, "FrontPanel", qPrintable(name));
        return button;
    };
    for (int i = 0; i < 61; ++i)
        m_cells[i] = cell(i == 0 ? QStringLiteral("pushButton") : QStringLiteral("pushButton_%1").arg(i + 1));
    for (int i = 0; i < 60; ++i)
        m_ticks[i] = cell(QStringLiteral("pushButton_%1").arg(125 + i));
    m_ticks[60] = ui.pushButton_186;

    showBarGraph(true);
    for (QPushButton *c : m_cells)
        c->show();
}

void FrontPanel::showBarGraph(bool on)
{
    for (QPushButton *c : m_cells)
        c->hide();
    for (QPushButton *t : m_ticks)
        t->setVisible(on);
    for (QLabel *n : {ui.label, ui.label_2, ui.label_3, ui.label_4, ui.label_5, ui.label_6, ui.label_7})
        n->setVisible(on);
    ui.pushButton_62->hide();
    ui.pushButton_63->hide();
    ui.pushButton_64->hide();
}

void FrontPanel::setBarLevel(int level)
{
    const int last = level < 61 ? level : 60;
    for (int i = 0; i <= last; ++i)
        m_cells[i]->show();
    if (level >= 61) {
        ui.pushButton_63->show();
        ui.pushButton_64->show();
    }
}

void FrontPanel::applyFrame(const PanelBits &p, bool negative)
{
    ui.AutoLabel->setVisible(p.autoRange);
    ui.RelLabel->setVisible(p.rel);
    ui.HoldLabel->setVisible(p.hold);
    if (p.barOn) {
        showBarGraph(true);
        ui.pushButton_62->setVisible(p.barNegative);
        setBarLevel(p.barLevel);
    } else {
        showBarGraph(false);
    }
    ui.MaxLabel->setVisible(p.max);
    ui.MinLabel->setVisible(p.min);
    ui.ApoLabel->setVisible(p.apo);
    ui.BatLabel->setVisible(p.bat);
    ui.NegPushButton->setVisible(negative);
}

void FrontPanel::showReading(const MeterReading &r, const maxdatabase &extremes, bool rangeChanged)
{
    ui.label_8->setText(panelValueText(r));
    ui.maxLineEdit->setText(maxFieldText(extremes));
    ui.minLineEdit->setText(minFieldText(extremes));
    ui.FuncLabel->setText(r.funcStr);
    ui.UnitLabel->setText(r.unitStr);
    if (!rangeChanged)
        ui.NegPushButton->setVisible(r.negative);
}

void FrontPanel::showStale(bool stale)
{
    if (stale == m_stale)
        return;
    m_stale = stale;
    if (stale) {
        m_digitsStyle = ui.label_8->styleSheet();
        ui.label_8->setStyleSheet(QStringLiteral("color: rgb(128, 128, 128);"));
    } else {
        ui.label_8->setStyleSheet(m_digitsStyle);
    }
}

void FrontPanel::showLink(bool on)
{
    ui.CommLabel->setVisible(on);
}
