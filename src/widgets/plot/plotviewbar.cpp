#include "plotviewbar.h"

#include <QAction>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_map.h>

#include <algorithm>
#include <cmath>

PlotViewBar::PlotViewBar(QwtPlot *plot, Kind kind, QWidget *parent)
    : QToolBar(parent), m_plot(plot), m_kind(kind)
{
    setObjectName(QStringLiteral("plotViewBar"));
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextOnly);

    // Checked while paused: the button reads as what it does next.
    m_followAction = addAction(tr("暂停"));
    m_followAction->setObjectName(QStringLiteral("actionPlotPause"));
    m_followAction->setCheckable(true);
    m_followAction->setToolTip(tr("暂停/跟随最新数据"));
    connect(m_followAction, &QAction::toggled, this, [this](bool paused) { setFollowing(!paused); });
    m_followAction->setVisible(kind == Kind::Live);

    m_fitAction = addAction(tr("全图"));
    m_fitAction->setObjectName(QStringLiteral("actionPlotFit"));
    m_fitAction->setToolTip(tr("复位缩放和平移"));
    connect(m_fitAction, &QAction::triggered, this, &PlotViewBar::fit);

    m_autoYAction = addAction(tr("自动刻度"));
    m_autoYAction->setObjectName(QStringLiteral("actionPlotAutoY"));
    m_autoYAction->setCheckable(true);
    m_autoYAction->setToolTip(tr("纵轴随数据自动缩放"));
    connect(m_autoYAction, &QAction::toggled, this, &PlotViewBar::setAutoYScale);

    addSeparator();
    m_readout = new QLabel(this);
    m_readout->setObjectName(QStringLiteral("plotReadout"));
    m_readout->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("00:00:00  -0000.0000 mV")));
    addWidget(m_readout);

    // Ahead of the plot's panner and magnifier (filters run newest first),
    // so a zoom or pan pauses the view before it moves.
    m_plot->canvas()->setMouseTracking(true);
    m_plot->canvas()->installEventFilter(this);

    // The y scale the plot has now is the range's until told otherwise.
    if (!m_plot->axisAutoScale(QwtPlot::yLeft)) {
        m_plot->updateAxes();
        const QwtScaleDiv div = m_plot->axisScaleDiv(QwtPlot::yLeft);
        m_rangeScale = Scale{div.lowerBound(), div.upperBound(), m_plot->axisStepSize(QwtPlot::yLeft)};
    }
}

void PlotViewBar::setRangeScale(double lower, double upper, double step)
{
    m_rangeScale = Scale{lower, upper, step};
    // The axes a paused view keeps belong to the old range: a new one is
    // shown on its own scale.
    if (!m_following) {
        setFollowing(true);
        return;
    }
    if (!m_autoY)
        m_plot->setAxisScale(QwtPlot::yLeft, lower, upper, step);
}

void PlotViewBar::clearRangeScale()
{
    m_rangeScale.reset();
    if (m_following)
        m_plot->setAxisAutoScale(QwtPlot::yLeft);
}

QString PlotViewBar::readout() const
{
    return m_readout->text();
}

void PlotViewBar::setFollowing(bool follow)
{
    if (m_kind == Kind::History)
        follow = true;
    if (follow == m_following)
        return;
    m_following = follow;
    {
        const QSignalBlocker block(m_followAction);
        m_followAction->setChecked(!follow);
        m_followAction->setText(follow ? tr("暂停") : tr("跟随"));
    }
    if (follow) {
        applyDefaultAxes();
        m_plot->replot();
    } else {
        freezeAxes();
    }
    emit followingChanged(follow);
}

void PlotViewBar::fit()
{
    applyDefaultAxes();
    m_plot->replot();
    if (!m_following)
        freezeAxes();
}

void PlotViewBar::setAutoYScale(bool autoY)
{
    if (autoY == m_autoY)
        return;
    m_autoY = autoY;
    {
        const QSignalBlocker block(m_autoYAction);
        m_autoYAction->setChecked(autoY);
    }
    // A paused view keeps its axes; the choice shows when it follows or fits.
    if (m_following) {
        applyDefaultAxes();
        m_plot->replot();
    }
}

void PlotViewBar::applyDefaultAxes()
{
    m_plot->setAxisAutoScale(QwtPlot::xBottom);
    if (m_autoY || !m_rangeScale)
        m_plot->setAxisAutoScale(QwtPlot::yLeft);
    else
        m_plot->setAxisScale(QwtPlot::yLeft, m_rangeScale->lower, m_rangeScale->upper, m_rangeScale->step);
}

void PlotViewBar::freezeAxes()
{
    // The divisions as they are drawn, ticks included; the plot stops
    // rescaling while its curve grows.
    m_plot->updateAxes();
    for (const int axis : {int(QwtPlot::xBottom), int(QwtPlot::yLeft)})
        m_plot->setAxisScaleDiv(axis, m_plot->axisScaleDiv(axis));
}

bool PlotViewBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_plot->canvas()) {
        switch (event->type()) {
        case QEvent::Wheel:
            setFollowing(false);
            break;
        case QEvent::MouseMove: {
            // The panner drags, the magnifier zooms with a button held; a
            // plain click moves nothing and changes nothing.
            const auto *mouse = static_cast<QMouseEvent *>(event);
            if (mouse->buttons() != Qt::NoButton)
                setFollowing(false);
            updateReadout(mouse->pos());
            break;
        }
        case QEvent::Leave:
            m_readout->clear();
            break;
        default:
            break;
        }
    }
    return QToolBar::eventFilter(watched, event);
}

void PlotViewBar::updateReadout(const QPoint &canvasPos)
{
    const double x = m_plot->invTransform(QwtPlot::xBottom, canvasPos.x());
    const double y = m_plot->invTransform(QwtPlot::yLeft, canvasPos.y());
    // As many decimals as one pixel of the y axis resolves.
    const QwtScaleMap map = m_plot->canvasMap(QwtPlot::yLeft);
    const double perPixel = std::abs(map.sDist() / std::max(1.0, std::abs(map.pDist())));
    const int decimals = perPixel > 0 ? std::clamp(int(std::ceil(-std::log10(perPixel))), 0, 6) : 3;
    const QString time = m_plot->axisScaleDraw(QwtPlot::xBottom)->label(x).text();
    m_readout->setText(
        QStringLiteral("%1  %2 %3").arg(time, QString::number(y, 'f', decimals), m_unit).trimmed());
}
