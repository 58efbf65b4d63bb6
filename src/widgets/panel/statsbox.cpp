#include "statsbox.h"

#include "core/meter/runstatistics.h"

#include <QGridLayout>
#include <QLabel>

#include <cmath>

namespace {

const QString kNone = QStringLiteral("—");

QString figure(double v, const StatsFormat &format, int extraDecimals)
{
    if (!std::isfinite(v))
        return kNone;
    // Without the readings' decimals: seven significant digits, more than
    // the meter's display.
    const int decimals = format.decimals + extraDecimals;
    double shown = v * format.scale;
    // What rounds to zero shows as zero, not "-0.00".
    if (format.decimals >= 0 && std::abs(shown) * std::pow(10.0, decimals) < 0.5)
        shown = 0.0;
    const QString number =
        format.decimals < 0 ? QString::number(shown, 'g', 7) : QString::number(shown, 'f', decimals);
    return QStringLiteral("%1 %2").arg(number, format.unit).trimmed();
}

QString extreme(double v, const QDateTime &time, const StatsFormat &format)
{
    if (!std::isfinite(v))
        return kNone;
    const QString when = time.toString(format.withDate ? QStringLiteral("yyyy-MM-dd hh:mm:ss")
                                                       : QStringLiteral("hh:mm:ss"));
    return QStringLiteral("%1 (%2)").arg(figure(v, format, 0), when);
}

} // namespace

StatsBox::StatsBox(QWidget *parent) : QGroupBox(tr("统计"), parent), m_layout(new QGridLayout(this))
{
    setObjectName(QStringLiteral("statsBox"));
    m_layout->setContentsMargins(6, 4, 6, 4);
    m_layout->setVerticalSpacing(2);
    m_layout->setHorizontalSpacing(8);
    addRow(QStringLiteral("count"), tr("个数"));
    addRow(QStringLiteral("mean"), tr("平均值"));
    addRow(QStringLiteral("stddev"), tr("标准差"));
    addRow(QStringLiteral("overloads"), tr("超量程"));
    addRow(QStringLiteral("min"), tr("最小值"));
    addRow(QStringLiteral("max"), tr("最大值"));
    m_layout->setColumnStretch(1, 1);
    m_layout->setColumnStretch(3, 1);
    setStatistics(RunStatistics(), StatsFormat());
}

QLabel *StatsBox::addRow(const QString &key, const QString &title)
{
    auto *value = new QLabel(this);
    value->setObjectName(key);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Three rows of two figures: the run's size and centre on the left,
    // its extremes on the right.
    const int n = m_rows++;
    m_layout->addWidget(new QLabel(title, this), n % 3, (n / 3) * 2);
    m_layout->addWidget(value, n % 3, (n / 3) * 2 + 1);
    return value;
}

void StatsBox::setStatistics(const RunStatistics &stats, const StatsFormat &format)
{
    const auto set = [this](const char *key, const QString &text) {
        findChild<QLabel *>(QLatin1String(key))->setText(text);
    };
    set("count", QString::number(stats.count()));
    set("mean", figure(stats.mean(), format, 2));
    set("stddev", figure(stats.stddev(), format, 2));
    set("min", extreme(stats.min(), stats.minTime(), format));
    set("max", extreme(stats.max(), stats.maxTime(), format));
    set("overloads", QString::number(stats.overloads()));
}

QString StatsBox::figureText(const QString &key) const
{
    const QLabel *label = findChild<QLabel *>(key);
    return label ? label->text() : QString();
}
