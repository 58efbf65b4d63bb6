// The main window's continuous trace: the 设置 menu's switch under which an
// autoranging signal stays one curve, one table and one set of figures.
#include "tk52k_comm.h"

#include "core/meter/baseunit.h"
#include "core/meter/tkdatadas.h"
#include "widgets/plot/liveplot.h"

#include <QAction>
#include <QSettings>

namespace {
const char *const kTraceKey = "plot/continuousTrace";
} // namespace

void TK52K_Comm::setupTrace()
{
    m_traceAction = new QAction(tr("跨量程连续显示(&R)"), this);
    m_traceAction->setObjectName(QStringLiteral("actionContinuousTrace"));
    m_traceAction->setCheckable(true);
    m_traceAction->setToolTip(tr("量程切换时曲线、表格和统计继续，曲线以基本单位显示"));
    ui.menu_2->insertAction(resumeAction, m_traceAction);
    connect(m_traceAction, &QAction::triggered, this, [this](bool on) {
        QSettings().setValue(QLatin1String(kTraceKey), on);
        setContinuousTrace(on);
    });
    setContinuousTrace(QSettings().value(QLatin1String(kTraceKey), false).toBool());
}

void TK52K_Comm::setContinuousTrace(bool on)
{
    m_traceAction->setChecked(on);
    if (on == m_continuousTrace)
        return;
    m_continuousTrace = on;
    // The trace on screen changes its unit: the points gathered so far are
    // in the newest reading's unit or in the base unit.
    if (currentReading->rangeIndex < 0)
        return;
    const BaseUnit base = baseUnitOf(currentReading->unitStr);
    m_plot->scaleValues(on ? base.factor : 1.0 / base.factor);
    m_plot->setValueUnit(on ? base.unit : QString());
    m_plot->setRangeScale(currentReading->rangeIndex, traceScale(*currentReading));
    m_plot->replot();
}

bool TK52K_Comm::goesOnAcross(const MeterReading &previous, const MeterReading &next) const
{
    // Volts stay volts across mV and V; ℃ and ℉ share a function and not a unit.
    return m_continuousTrace && previous.rangeIndex >= 0 && previous.funcIndex == next.funcIndex &&
           baseUnitOf(previous.unitStr).unit == baseUnitOf(next.unitStr).unit;
}

double TK52K_Comm::traceScale(const MeterReading &reading) const
{
    return m_continuousTrace ? baseUnitOf(reading.unitStr).factor : 1.0;
}
