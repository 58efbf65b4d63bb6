#include "frontpanel.h"

#include "meter/extremes.h"
#include "meter/framedecoder.h"
#include "meter/maxdatabase.h"
#include "meter/meterreading.h"
#include "ui_tk52k_comm.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <utility>

namespace {

/// Makes a widget paint its own background (its palette's, which the panel's
/// style sheet makes black) so it is painted alone when it changes. A style
/// sheet's background is otherwise drawn as if the widget were see-through,
/// and each change of the big digits repainted the panel and its frame
/// underneath them.
class OwnBackground : public QObject
{
public:
    explicit OwnBackground(QWidget *widget) : QObject(widget)
    {
        widget->setAttribute(Qt::WA_OpaquePaintEvent);
        widget->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            auto *widget = static_cast<QWidget *>(watched);
            QPainter painter(widget);
            painter.fillRect(static_cast<QPaintEvent *>(event)->rect(),
                             widget->palette().brush(widget->backgroundRole()));
        }
        return false;
    }
};

} // namespace

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

    (void)new OwnBackground(ui.label_8);

    showBarGraph(true, false, 60);
    // No extremes before the first reading.
    ui.maxLineEdit->clear();
    ui.minLineEdit->clear();
}

void FrontPanel::showBarGraph(bool on, bool negative, int level)
{
    // Each part is switched to its final state once: a frame that leaves the
    // bar as it was costs no layout or repaint of its 120-odd parts.
    const int last = on ? std::min(level, 60) : -1;
    for (int i = 0; i < int(m_cells.size()); ++i)
        m_cells[i]->setVisible(i <= last);
    for (QPushButton *t : m_ticks)
        t->setVisible(on);
    for (QLabel *n : {ui.label, ui.label_2, ui.label_3, ui.label_4, ui.label_5, ui.label_6, ui.label_7})
        n->setVisible(on);
    ui.pushButton_62->setVisible(on && negative);
    ui.pushButton_63->setVisible(on && level >= 61);
    ui.pushButton_64->setVisible(on && level >= 61);
}

void FrontPanel::applyFrame(const PanelBits &p, bool negative)
{
    ui.AutoLabel->setVisible(p.autoRange);
    ui.RelLabel->setVisible(p.rel);
    ui.HoldLabel->setVisible(p.hold);
    showBarGraph(p.barOn, p.barNegative, p.barLevel);
    ui.MaxLabel->setVisible(p.max);
    ui.MinLabel->setVisible(p.min);
    ui.ApoLabel->setVisible(p.apo);
    ui.BatLabel->setVisible(p.bat);
    ui.NegPushButton->setVisible(negative);
}

void FrontPanel::showReading(const MeterReading &r, const maxdatabase &extremes, bool rangeChanged)
{
    ui.label_8->setText(panelValueText(r));
    // Most readings leave the extremes as they were: their fields stay alone.
    for (const auto &[edit, text] : {std::pair{ui.maxLineEdit, maxFieldText(extremes)},
                                     std::pair{ui.minLineEdit, minFieldText(extremes)}}) {
        if (edit->text() != text)
            edit->setText(text);
    }
    ui.FuncLabel->setText(r.funcStr);
    ui.UnitLabel->setText(r.unitStr);
    if (!rangeChanged)
        ui.NegPushButton->setVisible(r.negative);
}

void FrontPanel::showStale(bool stale)
{
    m_stale = stale;
    colourDigits();
}

void FrontPanel::showLink(bool on)
{
    ui.CommLabel->setVisible(on);
}

void FrontPanel::showAlarm(bool raised)
{
    m_alarm = raised;
    colourDigits();
}

void FrontPanel::colourDigits()
{
    // A stale reading is grey whatever its alarm said; the minus sign is
    // part of the number and changes colour with it.
    const QString colour = m_stale   ? QStringLiteral("rgb(128, 128, 128)")
                           : m_alarm ? QStringLiteral("rgb(255, 0, 0)")
                                     : QStringLiteral("rgb(0, 255, 0)");
    ui.label_8->setStyleSheet(QStringLiteral("color: %1;").arg(colour));
    ui.NegPushButton->setStyleSheet(
        QStringLiteral("background-color: %1;border-radius: 3px; color: rgb(255, 255, 255);").arg(colour));
}
